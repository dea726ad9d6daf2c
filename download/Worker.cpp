// The worker: the whole exchange with the device, phase by phase, from the
// image's check to the closing END, told to its host as positions, stage
// reports and one notice.
#include "download/DownloadHost.h"
#include "download/ImageCheck.h"

#include <chrono>
#include <cstring>

namespace zq {

const char* const kNoticeFileOpenFailed = "File Open Failed";
const char* const kNoticeSuccess = "Success Download!";
const char* const kNoticeFail = "Fail Download!";

namespace {


class Download {
public:
    explicit Download(DownloadHost& host)
        : host_(host), link_(host.Link()), image_(host.ImageFile()), progress_(host.Progress())
    {
    }

    DownloadOutcome Run();

private:
    bool Cancelled() const { return link_.Cancelled(); }
    void Send(const Token& command)
    {
        for (uint8_t b : command.b)
            link_.WriteByte(b);
    }
    bool Matches(const Token& token) const { return std::memcmp(buffer_, token.b, sizeof token.b) == 0; }
    // Waits for a three-letter answer; a wrong one is kept for the report.
    // The device beacons until it hears our reply, and an adapter holds what
    // it received for its latency timer: beacons sent before the reply
    // arrived can reach us after the port was reopened and emptied, ahead of
    // the SYN echo. 0xFD is never an echo's first byte, so afterBeacons skips
    // those; any other byte still makes a wrong answer.
    bool Answered(const Token& token, bool afterBeacons = false)
    {
        failure_.gotCount = 0;
        const bool came = afterBeacons ? link_.WaitBlockAfter(kEchoMs, buffer_, 3, DEVICE_BEACON)
                                       : link_.WaitBlock(kEchoMs, buffer_, 3);
        if (!came)
            return false;
        if (Matches(token))
            return true;
        std::memcpy(failure_.got, buffer_, 3);
        failure_.gotCount = 3;
        return false;
    }
    bool Fail(FailStep step)
    {
        failure_.step = Cancelled() ? FailStep::Cancelled : step;
        failure_.lineLost = link_.LineLost();
        return false;
    }
    bool ImageFailed() const { return held_.IoFailed(); }
    void Report(Stage stage)
    {
        stage_.stage = stage;
        if (stage == Stage::Sending && stage_.done == 0 && !timed_) {
            dataStart_ = std::chrono::steady_clock::now();
            timed_ = true;
        } else if (timed_ && stage_.done > timedDone_) {
            timedDone_ = stage_.done;
            stage_.dataSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - dataStart_).count();
            if (stage_.dataSeconds > 0)
                stage_.bytesPerS = stage_.done * double(kBlockSize) / stage_.dataSeconds;
        }
        progress_.OnStage(stage_);
    }

    // The exchange, phase by phase; each false ends the download.
    bool Phases();
    bool CheckImage();
    bool SetRange();
    bool Discover();
    bool Synchronise();
    bool AskToWrite();
    bool SendHeaderWord();
    bool SendBlockCount();
    bool Clear();
    bool SendBlocks();
    bool CloseExchange();
    bool EchoPhase(uint16_t value, uint32_t position, FailStep step);
    bool WriteBlockAndSum(uint8_t checksum);

    DownloadHost& host_;
    CSerialLink& link_;
    CDbImage image_; // the host's file: opened and checked once
    // What was checked, held in memory: every later read of the image comes
    // from here, whatever happens to the file on disk meanwhile.
    ImageSnapshot snapshot_;
    CImageFile heldFile_;
    CDbImage held_{heldFile_};
    ProgressSink& progress_;
    // Every answer lands here, and each block goes out from here. Before some
    // reads its first bytes are set to spaces (zeros before a word's echo):
    // bytes a short answer does not bring keep them, so a short answer never
    // matches a three-letter one, and a one-byte echo of a word reads as a
    // value below 256, as the device may rely on.
    uint8_t buffer_[kBlockSize] = {};
    DownloadFailure failure_;
    StageReport stage_;
    std::chrono::steady_clock::time_point dataStart_{};
    bool timed_ = false;     // the first block has gone
    uint32_t timedDone_ = 0; // the acknowledged blocks the rate counts
    uint32_t blocks_ = 0;
    uint32_t steps_ = 0; // progress bytes of the CLR phase: m
};

DownloadOutcome Download::Run()
{
    const std::atomic<bool>* cancel = host_.CancelFlag();
    link_.SetCancelFlag(cancel);
    DownloadOutcome outcome;

    if (!image_.Open(host_.ImagePath())) {
        // Nothing was opened, so nothing is closed and the bar stays put.
        failure_.step = FailStep::ImageOpen;
        failure_.fileError = image_.OpenError();
        failure_.osError = image_.OpenOsError();
        outcome.failure = failure_;
        host_.OnFailure(failure_);
        host_.Notice().ShowNotice(NoticeFor(outcome));
        link_.SetCancelFlag(nullptr);
        return outcome;
    }

    outcome.success = Phases();
    if (outcome.success) {
        progress_.SetPos(bar::Range(blocks_));
    } else {
        failure_.blocks = blocks_;
        if (failure_.port.empty())
            failure_.port = link_.FoundPort();
        outcome.failure = failure_;
        host_.OnFailure(failure_);
        progress_.SetPos(0);
    }
    host_.Notice().ShowNotice(NoticeFor(outcome));
    held_.Close();
    image_.Close();
    link_.Close();
    link_.SetCancelFlag(nullptr);
    return outcome;
}

// Sends a 16-bit value low byte first and waits for its echo, up to five
// attempts with NAK between them. Five wrong echoes fail too: going on
// without ACK would leave the device and the tool disagreeing on the value.
bool Download::EchoPhase(uint16_t value, uint32_t position, FailStep step)
{
    const uint8_t lo = static_cast<uint8_t>(value & 0xFF);
    const uint8_t hi = static_cast<uint8_t>(value >> 8);
    uint8_t failures = 0;
    // What the header word's attempts saw says nothing about the count's.
    failure_.gotByte = false;
    failure_.gotCount = 0;
    for (unsigned attempt = 0; attempt < kWordAttempts; ++attempt) {
        std::memset(buffer_, 0, sizeof buffer_);
        link_.WriteByte(lo);
        link_.WriteByte(hi);
        progress_.SetPos(position);
        stage_.attempt = attempt + 1;
        Report(step == FailStep::HeaderEcho ? Stage::Header : Stage::Count);
        if (!link_.WaitBlock(kEchoMs, buffer_, 2)) {
            ++failures;
            if (failures >= kWordAttempts || Cancelled())
                return Fail(step);
            continue;
        }
        // A one-byte echo leaves the second byte 0, so it matches a value
        // below 256: the device may rely on that.
        if (static_cast<uint32_t>(buffer_[1]) * 256 + buffer_[0] == value) {
            link_.WriteByte(ACK);
            return true;
        }
        ++failures;
        failure_.gotByte = true;
        failure_.lastByte = buffer_[0];
        failure_.got[0] = buffer_[0];
        failure_.got[1] = buffer_[1];
        failure_.gotCount = 2;
        failure_.sent = value;
        link_.WriteByte(NAK);
    }
    return Fail(step);
}

bool Download::Phases()
{
    return CheckImage() && SetRange() && Discover() && Synchronise() && AskToWrite() && SendHeaderWord() &&
           SendBlockCount() && Clear() && SendBlocks() && CloseExchange();
}

bool Download::CheckImage()
{
    // Phase 0: image. What passed the check is read once, whole, and is
    // what the device gets: a file changed, replaced or truncated while the
    // blocks flow changes nothing that is sent.
    if (!CheckAndHold(image_, host_.ImageFile(), host_.ImagePath(), snapshot_, failure_))
        return Fail(failure_.step);
    snapshot_.Bind(heldFile_);
    return held_.Open(snapshot_.path) || Fail(FailStep::ImageRead);
}

bool Download::SetRange()
{
    // Phase 1: progress range, from the held image: its length is the one
    // that was checked. The range keeps its full width: the bar's 32-bit
    // range never wraps.
    held_.Rewind();
    const uint32_t length = held_.Length();
    if (ImageFailed())
        return Fail(FailStep::ImageRead);
    blocks_ = CDbImage::BlockCount(length);
    progress_.SetRange(bar::Range(blocks_));
    progress_.SetPos(bar::kSearching);
    stage_.blocks = blocks_;
    stage_.tailBytes = snapshot_.tail;
    Report(Stage::Searching);
    return true;
}

bool Download::Discover()
{
    // Phase 2: discovery.
    const LinkStatus found = link_.FindDevice(DEVICE_BEACON, kProbeBaud);
    if (found != LINK_OK)
        return Fail(found == LINK_NO_PORTS ? FailStep::NoPorts : FailStep::NoDevice);
    progress_.SetPos(bar::kFound);
    stage_.port = link_.FoundPort();
    Report(Stage::Found);
    progress_.OnAdapter(link_.FoundPortInfo(), CurrentLatencyMs(link_.FoundPortInfo()));
    return true;
}

bool Download::Synchronise()
{
    // Phase 3: connect and synchronise. A port that did not open shows up as
    // a missing echo; the cause is kept for the report.
    if (link_.Open(link_.FoundPort(), kDownloadBaud) != LINK_OK) {
        failure_.portError = link_.LastOpenError();
        failure_.osError = link_.LastOpenOsError();
        failure_.port = link_.FoundPort();
    }
    Send(kSyn);
    progress_.SetPos(bar::kSynSent);
    Report(Stage::Handshake);
    if (!Answered(kSyn, true))
        return Fail(link_.IsOpen() ? FailStep::SynEcho : FailStep::PortOpen);
    progress_.SetPos(bar::kSynEchoed);
    link_.Purge();
    return true;
}

bool Download::AskToWrite()
{
    // Phase 4: DBW.
    std::memset(buffer_, 0x20, 3);
    Send(kDbw);
    progress_.SetPos(bar::kDbwSent);
    if (!Answered(kRdy))
        return Fail(FailStep::DbwReady);
    progress_.SetPos(bar::kReady);
    std::memset(buffer_, 0x20, 2);
    link_.Purge();
    return true;
}

bool Download::SendHeaderWord()
{
    // Phase 5: header word.
    const uint16_t header = held_.ReadHeaderWord();
    if (ImageFailed())
        return Fail(FailStep::ImageRead);
    if (!EchoPhase(header, bar::kHeader, FailStep::HeaderEcho))
        return false;
    return true;
}

bool Download::SendBlockCount()
{
    // Phase 6: block count. Validate refused counts above 65535, so the
    // 16 bits sent are the whole count.
    link_.Purge();
    buffer_[0] = 0x20;
    if (!EchoPhase(static_cast<uint16_t>(blocks_), bar::kCount, FailStep::CountEcho))
        return false;
    return true;
}

bool Download::Clear()
{
    // Phase 7: CLR. The device may send as many progress bytes as it likes;
    // each must come within a second.
    progress_.SetPos(bar::kBeforeClr);
    link_.Purge();
    Send(kClr);
    progress_.SetPos(bar::kClrSent);
    Report(Stage::Clearing);
    buffer_[0] = 0x20;
    steps_ = 0;
    for (;;) {
        if (!link_.WaitByte(kProgressMs, buffer_))
            return Fail(FailStep::ClrProgress);
        if (buffer_[0] == ACK)
            break;
        ++steps_;
        progress_.SetPos(bar::kClrSent + steps_);
        stage_.clrSteps = steps_;
        Report(Stage::Clearing);
    }
    progress_.SetPos(steps_ + bar::kClrAcked);
    link_.Purge();
    std::memset(buffer_, 0x20, 3);
    Send(kEnd);
    progress_.SetPos(steps_ + bar::kEndSent);
    if (!Answered(kRdy))
        return Fail(FailStep::ClrReady);
    progress_.SetPos(steps_ + bar::kData);
    link_.Purge();
    return true;
}

bool Download::SendBlocks()
{
    // Phase 8: data blocks. Each block is read again after a refusal.
    uint8_t refusals = 0;
    uint32_t position = steps_ + bar::kData;
    if (blocks_)
        Report(Stage::Sending);
    for (uint32_t i = 0; i < blocks_; ++i) {
        held_.ReadBlock(buffer_);
        // The held image was checked for X whole blocks; a block short of
        // that would go out padded with spaces as if it were data.
        if (ImageFailed() || held_.LastBlockBytes() != kImageBlockSize) {
            failure_.block = i;
            return Fail(FailStep::ImageRead);
        }
        uint8_t checksum = 0;
        for (uint8_t b : buffer_)
            checksum ^= b;
        if (!WriteBlockAndSum(checksum)) {
            // A line that went away while the block went out is told as it
            // always was: a block that got no answer from a lost line.
            failure_.block = i;
            return Fail(link_.LineLost() ? FailStep::BlockSilent : FailStep::BlockWrite);
        }
        buffer_[0] = 0x20;
        if (!link_.WaitByte(kBlockAnswerMs, buffer_)) {
            failure_.block = i;
            return Fail(FailStep::BlockSilent);
        }
        if (buffer_[0] == ACK) {
            refusals = 0;
            stage_.done = i + 1;
        } else {
            ++stage_.refused;
            stage_.refusal = true;
            stage_.refusalByte = buffer_[0];
            failure_.gotByte = true;
            failure_.lastByte = buffer_[0];
            failure_.block = i;
            held_.StepBack();
            if (ImageFailed())
                return Fail(FailStep::ImageRead);
            --i;
            --position;
            ++refusals;
            stage_.resending = refusals < kBlockRefusals;
            if (!stage_.resending) {
                Report(Stage::Sending);
                return Fail(FailStep::BlockRefused);
            }
        }
        progress_.SetPos(position);
        Report(Stage::Sending);
        stage_.refusal = false;
        ++position;
    }
    Report(Stage::Closing);
    return true;
}

// A block the line took only in part would be answered by silence at best,
// and reported as a device that stopped answering; say what happened.
bool Download::WriteBlockAndSum(uint8_t checksum)
{
    size_t wrote = 0;
    const bool whole = link_.WriteBlock(buffer_, sizeof buffer_, &wrote) == LINK_OK;
    if (whole && link_.WriteByte(checksum) == LINK_OK)
        return true;
    failure_.wrote = static_cast<uint32_t>(wrote); // 128 when only the checksum did not go
    return false;
}

bool Download::CloseExchange()
{
    // Phase 9: close.
    link_.Purge();
    std::memset(buffer_, 0x20, 3);
    Send(kEnd);
    buffer_[0] = 0x20;
    const bool answered = link_.WaitByte(kFinalAckMs, buffer_);
    if (!answered || buffer_[0] != ACK) {
        failure_.gotByte = answered;
        failure_.lastByte = buffer_[0];
        return Fail(FailStep::FinalAck);
    }
    return true;
}

} // namespace

const char* NoticeFor(FailStep step)
{
    if (step == FailStep::None)
        return kNoticeSuccess;
    return step == FailStep::ImageOpen ? kNoticeFileOpenFailed : kNoticeFail;
}

const char* NoticeFor(const DownloadOutcome& outcome)
{
    return outcome.success ? kNoticeSuccess : NoticeFor(outcome.failure.step);
}

DownloadOutcome RunDownload(DownloadHost& host)
{
    Download download(host);
    return download.Run();
}

unsigned DownloadThreadProc(DownloadHost* host)
{
    if (host)
        RunDownload(*host);
    return 0;
}

}  // namespace zq
