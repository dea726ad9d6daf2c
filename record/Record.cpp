#include "record/Record.h"

#include <fstream>

#include <ctime>

#include <nlohmann/json.hpp>

#include "platform/DurableFile.h"
#include "platform/HostName.h"
#include "platform/OsError.h"
#include "platform/RandomBytes.h"
#include "record/RecordSchema.h"
#include "platform/Format.h"

namespace zq {

namespace {

// Each step's name in a record, and the short words a chart labels it
// with, as the causes say it.
const struct {
    FailStep step;
    const char* name;
    const char* words;
} kSteps[] = {
    {FailStep::ImageOpen, "image_open", "image not opened"},
    {FailStep::ImageRefused, "image_refused", "image refused"},
    {FailStep::ImageRead, "image_read", "image not read"},
    {FailStep::NoPorts, "no_ports", "no serial port"},
    {FailStep::NoDevice, "no_device", "no device answered"},
    {FailStep::PortOpen, "port_open", "port not opened"},
    {FailStep::NoThread, "no_thread", "no thread"},
    {FailStep::SynEcho, "syn_echo", "SYN not echoed"},
    {FailStep::DbwReady, "dbw_ready", "no RDY after DBW"},
    {FailStep::HeaderEcho, "header_echo", "header word not echoed"},
    {FailStep::CountEcho, "count_echo", "block count not echoed"},
    {FailStep::ClrProgress, "clr_progress", "silent while clearing"},
    {FailStep::ClrReady, "clr_ready", "no RDY after clearing"},
    {FailStep::BlockSilent, "block_silent", "stopped answering at a block"},
    {FailStep::BlockRefused, "block_refused", "block refused"},
    {FailStep::BlockWrite, "block_write", "block not written whole"},
    {FailStep::FinalAck, "final_ack", "closing END not acknowledged"},
    {FailStep::Cancelled, "cancelled", "interrupted"},
};

const char* StepName(FailStep step)
{
    for (const auto& s : kSteps)
        if (s.step == step)
            return s.name;
    return "";
}

} // namespace

std::string StepWords(const std::string& step)
{
    for (const auto& s : kSteps)
        if (step == s.name)
            return s.words;
    return step; // a step of a later version, or "unknown": as it stands
}

// Every member present, null where the system did not tell, so that the
// records read as one table; null as a whole where no USB adapter is behind
// the port (a pty, a built-in UART), as before these details were known.
nlohmann::json UsbRecord(const PortInfo& device)
{
    if (device.vendorId.empty() && device.productId.empty() && device.serialNumber.empty() &&
        device.location.empty())
        return nullptr;
    const auto text = [](const std::string& s) { return s.empty() ? nlohmann::json() : nlohmann::json(s); };
    return {{key::usbVendorId, text(device.vendorId)},
            {key::usbProductId, text(device.productId)},
            {key::usbSerial, text(device.serialNumber)},
            {key::usbLocation, text(device.location)}};
}

std::string NewRecordId()
{
    uint8_t b[16];
    // Without the OS's randomness two stations could give the same id, and a
    // receiver would drop a unit as a repeat: no id then (null), and the
    // forwarder keys that record by its line's hash instead.
    if (!OsRandomBytes(b, sizeof b))
        return std::string();
    b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);
    static const char hex[] = "0123456789abcdef";
    std::string id;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            id += '-';
        id += hex[b[i] >> 4];
        id += hex[b[i] & 0x0F];
    }
    return id;
}

std::string RecordLine(const DeviceOutcome& o, const ImageSnapshot& image, const std::string& cause,
                       const RecordTags& tags)
{
    const auto orNull = [](const std::string& s) { return s.empty() ? nlohmann::json() : nlohmann::json(s); };
    const bool cancelled = o.failure.step == FailStep::Cancelled;
    const std::string id = NewRecordId();
    nlohmann::json record = {
        {key::id, id.empty() ? nlohmann::json() : nlohmann::json(id)},
        {key::time, IsoUtc(o.startedUnix)},
        {key::port, o.port},
        {key::usb, UsbRecord(o.device)},
        {key::image,
         {{key::imagePath, image.path},
          {key::imageSha256, image.sha256},
          {key::imageBytes, image.bytes ? image.bytes->size() : 0},
          {key::imageHeader, image.header},
          {key::imageBlocks, image.blocks}}},
        {key::result, o.success ? result::success : cancelled ? result::cancelled : result::fail},
        {key::cause, o.success ? std::string() : cause},
        {key::step, o.success ? "" : StepName(o.failure.step)},
        {key::durationS, o.seconds},
        {key::refusals, o.refusals},
        {key::clrSteps, o.clrSteps},
        {key::bytesPerS, o.dataBytesPerS},
        {key::latencyMs, o.latencyMs >= 0 ? nlohmann::json(o.latencyMs) : nlohmann::json()},
        {key::job, orNull(tags.job)},
        {key::station, tags.station.empty() ? orNull(HostName()) : nlohmann::json(tags.station)},
        {key::slot, orNull(tags.slot)},
        {key::signedBy, orNull(tags.signedBy)},
        {key::release, tags.releaseChannel.empty()
                           ? nlohmann::json()
                           : nlohmann::json{{key::releaseChannel, tags.releaseChannel},
                                            {key::releaseVersion, tags.releaseVersion}}},
        // A download nobody told apart is a unit of its own.
        {key::unit, o.unit.empty() ? nlohmann::json(id) : nlohmann::json(o.unit)},
        {key::attempt, o.attempt},
    };
    // Bytes that are not UTF-8 (a port name in another code page) are
    // replaced rather than ending the station.
    return record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

CRecordLog::~CRecordLog() { Close(); }

void CRecordLog::Close()
{
    if (file_)
        ReleaseRecordFile(file_.Get());
    file_.Reset();
}

bool CRecordLog::Open(const std::string& path, std::string& error) { return Take(path, true, error); }

bool CRecordLog::Hold(const std::string& path, std::string& error) { return Take(path, false, error); }

bool CRecordLog::Take(const std::string& path, bool append, std::string& error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Close();
    inUse_ = false;
    unended_ = false;
    int os = 0;
    COsHandle file = OpenRecordFile(path, append, os);
    if (!file) {
        error = path + ": " + OsErrorText(os);
        return false;
    }
    // Two stations appending to one file would interleave their records and
    // count one lot twice; two forwarders would send every record twice.
    switch (ClaimRecordFile(file.Get(), os)) {
    case RecordClaim::Taken: break;
    case RecordClaim::InUse:
        inUse_ = true;
        error = path + " is in use by another station";
        return false;
    case RecordClaim::Failed:
        error = path + ": " + OsErrorText(os);
        return false;
    }
    // A power cut during an append leaves its line without the newline; the
    // next record would be glued onto it and neither would read.
    const int last = append ? LastRecordByte(file.Get(), os) : '\n';
    if (os != 0 || (last >= 0 && last != '\n' && !AppendRecordBytes(file.Get(), "\n", os))) {
        ReleaseRecordFile(file.Get());
        error = path + ": " + OsErrorText(os);
        return false;
    }
    // The file may have just been made: its name must outlast a power cut
    // as its records do.
    if (append && !SyncFolderOf(path, error)) {
        ReleaseRecordFile(file.Get());
        return false;
    }
    file_ = std::move(file);
    return true;
}

bool CRecordLog::Append(const std::string& line)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!file_)
            return false;
        // One write for the line and its newline: no other download's record
        // can come between them.
        const std::string bytes = (unended_ ? "\n" : "") + line + "\n";
        int os = 0;
        unended_ = !AppendRecordBytes(file_.Get(), bytes, os);
        if (unended_)
            return false;
    }
    if (appended_)
        appended_();
    return true;
}

unsigned CountLotWritten(const std::string& logPath, const std::string& job, const std::string& sha256)
{
    std::ifstream in(logPath, std::ios::binary);
    unsigned written = 0;
    std::string line;
    while (std::getline(in, line)) {
        const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
        if (!record.is_object())
            continue;
        const auto text = [&](const nlohmann::json& j, const char* key) {
            return j.is_object() && j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : std::string();
        };
        if (text(record, key::result) == result::success && text(record, key::job) == job &&
            record.contains(key::image) && text(record[key::image], key::imageSha256) == sha256)
            ++written;
    }
    return written;
}

std::string LotCompleteText(const std::string& job, unsigned written, unsigned units)
{
    return "lot " + job + " complete: " + std::to_string(written) + " of " + std::to_string(units) + " written";
}

}  // namespace zq
