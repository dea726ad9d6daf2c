#include "forward/Forwarder.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "forward/Http.h"
#include "platform/DurableFile.h"
#include "platform/Sha256.h"
#include "record/RecordSchema.h"
#include "platform/Format.h"

namespace zq {

namespace {

using Clock = std::chrono::steady_clock;

// The delivered state's words (LOG.sent).
namespace sent {
constexpr char offset[] = "offset";
constexpr char lastId[] = "last_id";
constexpr char delivered[] = "delivered";
} // namespace sent

// The line that ends just before offset, without its newline; empty if
// there is none (the log is shorter, or no line ends there).
std::string LineEndingAt(const std::string& path, uint64_t offset)
{
    std::ifstream in(path, std::ios::binary);
    if (!in || offset == 0)
        return std::string();
    const uint64_t from = offset > 65536 ? offset - 65536 : 0;
    std::string buf(static_cast<size_t>(offset - from), '\0');
    in.seekg(static_cast<std::streamoff>(from));
    in.read(&buf[0], static_cast<std::streamsize>(buf.size()));
    if (static_cast<size_t>(in.gcount()) != buf.size() || buf.back() != '\n')
        return std::string();
    buf.pop_back();
    const size_t nl = buf.rfind('\n');
    return nl == std::string::npos ? buf : buf.substr(nl + 1);
}

// The receiver's key for a record: its id. A line written before records had
// ids gets its SHA-256, which is as stable across restarts.
std::string KeyOf(const std::string& line, bool& isRecord)
{
    const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
    isRecord = !record.is_discarded() && record.is_object();
    if (!isRecord)
        return std::string();
    const auto id = record.find(key::id);
    if (id != record.end() && id->is_string() && !id->get<std::string>().empty())
        return id->get<std::string>();
    return Sha256Hex(reinterpret_cast<const uint8_t*>(line.data()), line.size());
}

// The whole lines of a log from an offset, read a bounded piece at a time.
class CLogLines {
public:
    CLogLines(const std::string& path, uint64_t from) : in_(path, std::ios::binary), at_(from)
    {
        in_.seekg(static_cast<std::streamoff>(from));
    }

    // The next line that has its newline, without it, and the offset just
    // past the newline; false at the end and before a line not ended yet (a
    // station is appending it). A line longer than any record comes back
    // empty, with tooLong: it is no record, and is not held.
    bool Next(std::string& text, bool& tooLong, uint64_t& end)
    {
        text.clear();
        tooLong = false;
        for (;;) {
            if (pos_ == buf_.size() && !Fill())
                return false;
            const size_t nl = buf_.find('\n', pos_);
            const size_t stop = nl == std::string::npos ? buf_.size() : nl;
            tooLong = tooLong || text.size() + (stop - pos_) > kLongest;
            if (tooLong)
                text.clear();
            else
                text.append(buf_, pos_, stop - pos_);
            at_ += stop - pos_;
            pos_ = stop;
            if (nl != std::string::npos) {
                ++pos_;
                end = ++at_;
                return true;
            }
        }
    }

private:
    static constexpr size_t kChunk = 64 * 1024;
    static constexpr size_t kLongest = 1024 * 1024;

    bool Fill()
    {
        buf_.resize(kChunk);
        in_.read(&buf_[0], static_cast<std::streamsize>(kChunk));
        buf_.resize(static_cast<size_t>(in_.gcount()));
        pos_ = 0;
        return !buf_.empty();
    }

    std::ifstream in_;
    uint64_t at_;
    std::string buf_;
    size_t pos_ = 0;
};

} // namespace

CForwarder::CForwarder(const ForwardConfig& config, Sink sink) : config_(config), sink_(std::move(sink)) {}

CForwarder::~CForwarder()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

bool CForwarder::Start(const std::string& logPath, std::string& error)
{
    logPath_ = logPath;
    if (config_.url.rfind("http://", 0) != 0 && config_.url.rfind("https://", 0) != 0) {
        error = "--forward: \"" + config_.url + "\" is not an http:// or https:// URL";
        return false;
    }
    if (!config_.tokenFile.empty()) {
        std::ifstream in(config_.tokenFile, std::ios::binary);
        std::string token;
        if (!in || !std::getline(in, token)) {
            error = "--forward-token-file: cannot read " + config_.tokenFile;
            return false;
        }
        const size_t end = token.find_last_not_of(" \t\r\n");
        token.erase(end == std::string::npos ? 0 : end + 1);
        if (token.empty()) {
            error = "--forward-token-file: " + config_.tokenFile + " holds no token";
            return false;
        }
        authorization_ = "Authorization: Bearer " + token;
        const std::string warning = TokenFileWarning(config_.tokenFile);
        if (!warning.empty() && sink_)
            sink_("forward: warning: " + warning);
    }
    http_ = std::make_unique<CHttpClient>(config_.caFile);
    if (!http_->SetupError().empty()) {
        error = http_->SetupError();
        return false;
    }
    if (!std::ifstream(logPath, std::ios::binary)) {
        error = logPath + ": no record file to forward";
        return false;
    }

    // The state names the last record delivered; if that is not the record
    // ending at its offset, the log was replaced and everything goes again
    // (the receiver drops what it has by the key).
    std::ifstream state(StatePath(logPath), std::ios::binary);
    if (state) {
        const nlohmann::json j = nlohmann::json::parse(state, nullptr, false);
        uint64_t offset = 0;
        std::string key;
        // A value of another type (a hand-edited or damaged file) reads as
        // none: everything goes again, rather than the station ending.
        if (j.is_object()) {
            const auto count = [&](const char* name) {
                const auto it = j.find(name);
                return it != j.end() && it->is_number_unsigned() ? it->get<uint64_t>() : uint64_t{0};
            };
            const auto it = j.find(sent::lastId);
            offset = count(sent::offset);
            key = it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
            // Nothing before offset 0 was delivered, whatever the count says.
            delivered_ = offset > 0 ? static_cast<size_t>(count(sent::delivered)) : 0;
        }
        bool isRecord = false;
        if (offset > 0 && (key.empty() || KeyOf(LineEndingAt(logPath, offset), isRecord) != key)) {
            if (sink_)
                sink_("forward: " + StatePath(logPath) + " does not match " + logPath +
                      ": every record is sent again (the receiver knows the ones it has by their id)");
            offset = 0;
            delivered_ = 0;
        }
        sentOffset_ = heldOffset_ = countOffset_ = offset;
    }
    Scan();
    try {
        thread_ = std::thread(&CForwarder::Run, this);
    } catch (const std::system_error&) {
        // Out of threads: the station is refused before any unit is flashed,
        // rather than the program ending.
        error = "forward: no thread could be had to deliver the records (the system's limit on threads or "
                "processes, or its memory)";
        return false;
    }
    return true;
}

void CForwarder::Notify()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        notified_ = true;
    }
    wake_.notify_all();
}

size_t CForwarder::Pending() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size() + unheld_;
}

size_t CForwarder::Delivered() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return delivered_;
}

// Only whole lines: the last one may be half written by a station that is
// still appending (or was cut off by a power failure). Every new line is
// counted, and told once if it is no record; a record is held while there
// is room and none before it waits unheld.
void CForwarder::Scan()
{
    size_t room = 0, prior = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        room = kHeld > queue_.size() ? kHeld - queue_.size() : 0;
        prior = unheld_;
    }
    std::vector<Item> found;
    size_t taken = 0;
    if (heldOffset_ < countOffset_)
        HoldCounted(room, found, taken);
    const bool priorGone = heldOffset_ >= countOffset_; // nothing counted before waits unheld now
    countOffset_ = std::max(countOffset_, heldOffset_);

    size_t counted = 0;
    CLogLines lines(logPath_, countOffset_);
    std::string line;
    bool tooLong = false;
    for (uint64_t end = 0; lines.Next(line, tooLong, end); countOffset_ = end) {
        const bool caughtUp = heldOffset_ == countOffset_;
        bool isRecord = false;
        const std::string key = tooLong ? std::string() : KeyOf(line, isRecord);
        if (!isRecord && (tooLong || !line.empty()) && sink_)
            sink_("forward: the line ending at byte " + std::to_string(end) + " of " + logPath_ +
                  " is no record; it is not sent");
        if (isRecord && !(caughtUp && found.size() < room)) {
            ++counted;
        } else if (caughtUp) {
            if (isRecord)
                found.push_back({line, key, end});
            heldOffset_ = end;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.insert(queue_.end(), found.begin(), found.end());
    unheld_ = (priorGone ? 0 : prior - taken) + counted;
}

// Records counted before, read again now that there is room for them. A log
// that ends sooner than it did was replaced: what was counted in it is gone.
void CForwarder::HoldCounted(size_t room, std::vector<Item>& found, size_t& taken)
{
    CLogLines lines(logPath_, heldOffset_);
    std::string line;
    bool tooLong = false;
    uint64_t end = 0;
    while (found.size() < room && heldOffset_ < countOffset_) {
        if (!lines.Next(line, tooLong, end)) {
            countOffset_ = heldOffset_;
            return;
        }
        bool isRecord = false;
        const std::string key = tooLong ? std::string() : KeyOf(line, isRecord);
        if (isRecord) {
            found.push_back({line, key, end});
            ++taken;
        }
        heldOffset_ = end;
    }
}

bool CForwarder::SaveState(uint64_t offset, const std::string& key, size_t delivered)
{
    const std::string path = StatePath(logPath_);
    const std::string temp = path + ".tmp";
    const std::string text =
        nlohmann::json{{sent::offset, offset}, {sent::lastId, key}, {sent::delivered, delivered}}.dump() + "\n";
    bool written = false;
    {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(temp.c_str(), "wb"), &std::fclose);
        written = file && std::fwrite(text.data(), 1, text.size(), file.get()) == text.size() &&
                  std::fflush(file.get()) == 0 && SyncToDisk(file.get());
    }
    std::string why = temp + ": cannot write";
    // Renamed but not on the disk, the old state would come back after a
    // power cut, and with it records delivered already.
    if (written && ReplaceFileAtomically(temp, path, why) && SyncFolderOf(path, why))
        return true;
    std::lock_guard<std::mutex> lock(mutex_);
    Tell("state", "forward: " + why + ": after a restart, delivered records are sent again");
    return false;
}

// Each trouble once, until a record goes through again: a receiver that is
// down for an hour must not fill the journal.
void CForwarder::Tell(const std::string& what, const std::string& text)
{
    if (what == told_)
        return;
    told_ = what;
    if (sink_)
        sink_(text);
}

// An answer that did not deliver, told once; with the lock held.
void CForwarder::TellTrouble(const HttpAnswer& answer)
{
    const std::string waiting = Counted(queue_.size() + unheld_, "record waits", "records wait");
    if (answer.status == 401 || answer.status == 403)
        Tell(std::to_string(answer.status),
             authorization_.empty()
                 ? "forward: the receiver wants a token (HTTP " + std::to_string(answer.status) +
                       "): give --forward-token-file; " + waiting
                 : "forward: the receiver refused the token (HTTP " + std::to_string(answer.status) + "); " +
                       waiting);
    else if (answer.status != 0)
        Tell(std::to_string(answer.status),
             "forward: the receiver answered HTTP " + std::to_string(answer.status) + "; " + waiting + ", retrying");
    else
        Tell("none " + answer.error,
             "forward: no answer from " + config_.url + " (" + answer.error + "); " + waiting + ", retrying");
}

void CForwarder::Run()
{
    std::vector<std::string> headers = {"Content-Type: application/json"};
    if (!authorization_.empty())
        headers.push_back(authorization_);
    double backoff = config_.firstRetrySeconds;
    std::unique_lock<std::mutex> lock(mutex_);
    const auto scan = [&] {
        lock.unlock();
        Scan();
        lock.lock();
    };
    const auto rescan = [&] {
        if (notified_) {
            notified_ = false;
            scan();
        }
    };
    while (!stopping_) {
        if (queue_.empty() && unheld_ > 0)
            scan(); // the next of the records counted but not held
        if (queue_.empty()) {
            idle_ = true;
            drained_.notify_all();
            wake_.wait(lock, [&] { return notified_ || stopping_; });
            idle_ = false;
            rescan();
            continue;
        }
        const Item item = queue_.front();
        int timeoutMs = config_.requestTimeoutMs;
        if (draining_ && !untilIdle_) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
            timeoutMs = static_cast<int>(std::max<long long>(200, std::min<long long>(left, timeoutMs)));
        }
        std::vector<std::string> request = headers;
        request.push_back("Idempotency-Key: " + item.key);
        lock.unlock();
        const HttpAnswer answer = http_->Post(config_.url, item.body, request, timeoutMs);
        lock.lock();

        if (answer.status >= 200 && answer.status < 300) {
            queue_.pop_front();
            sentOffset_ = item.end;
            const size_t delivered = ++delivered_;
            lastDelivery_ = Clock::now();
            lock.unlock();
            SaveState(item.end, item.key, delivered);
            lock.lock();
            if (!told_.empty() && told_ != "state") {
                told_.clear();
                if (sink_)
                    sink_("forward: the receiver takes records again");
            }
            backoff = config_.firstRetrySeconds;
            drained_.notify_all();
            rescan();
            continue;
        }
        TellTrouble(answer);
        // New records do not cut the wait short: they queue behind this one.
        wake_.wait_for(lock, std::chrono::duration<double>(backoff), [&] { return stopping_; });
        backoff = std::min(backoff * 2, config_.lastRetrySeconds);
        rescan();
    }
    drained_.notify_all();
}

size_t CForwarder::Drain(double seconds, bool untilIdle)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_.joinable())
        return queue_.size() + unheld_;
    const auto begun = Clock::now();
    const auto span = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    deadline_ = begun + span;
    draining_ = true;
    untilIdle_ = untilIdle;
    notified_ = true; // a last look at the log
    wake_.notify_all();
    for (;;) {
        if (idle_ && !notified_ && queue_.empty())
            break;
        const auto limit = untilIdle ? std::max(begun, lastDelivery_) + span : deadline_;
        if (Clock::now() >= limit)
            break;
        drained_.wait_until(lock, limit);
    }
    stopping_ = true;
    wake_.notify_all();
    lock.unlock();
    thread_.join();
    lock.lock();
    return queue_.size() + unheld_;
}

}  // namespace zq
