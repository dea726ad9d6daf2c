// The download worker against a device whose every reply, and when it comes,
// is chosen by the fuzz input. The device model also carries what the tool
// must do next given what it was told, so the target checks the tool's whole
// behaviour: each byte it writes, each read's size and deadline, that it
// stops sending once a step has failed, and the one notice at the end.
//
// Input: 8 bytes that shape the image and the clock, then one choice per
// device reply (see Device::Reply). An input that runs out makes the device
// go quiet, which every wait ends on.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "download/DownloadHost.h"
#include "fuzz/FuzzImageFile.h"
#include "fuzz/FuzzLine.h"

using namespace zq;

namespace {

using zq::ACK;
using zq::NAK;
using Bytes = std::vector<uint8_t>;
const Bytes SYN = zq::TokenBytes(zq::kSyn), DBW = zq::TokenBytes(zq::kDbw), RDY = zq::TokenBytes(zq::kRdy);
const Bytes CLR = zq::TokenBytes(zq::kClr), END = zq::TokenBytes(zq::kEnd);
const char* const kPort = "ttyFUZZ0";

[[noreturn]] void Violation(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::fprintf(stderr, "\nworker property violated: ");
    std::vfprintf(stderr, fmt, ap);
    std::fprintf(stderr, "\n");
    va_end(ap);
    std::abort();
}

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    uint8_t Next() { return pos_ < size_ ? data_[pos_++] : 0; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// What the tool is waiting for; the device's correct reply follows from it.
enum class Wait { None, Beacon, Syn, Dbw, Header, Count, Clr, ClrEnd, Block, Final };

const char* WaitName(Wait w)
{
    static const char* const names[] = {"none", "beacon", "SYN echo", "RDY after DBW", "header echo",
                                        "count echo", "CLR progress", "RDY after END", "block answer",
                                        "final ACK"};
    return names[static_cast<int>(w)];
}

enum class Stage { DiscOpen, DiscWaits, ReOpen, Exchange, Failed, Succeeded };

class Device : public FuzzLineDevice {
public:
    Device(Input& in, const Bytes& image, bool valid) : in_(in), image_(image)
    {
        blocks_ = static_cast<uint32_t>((image.size() - kImageDataOffset) / kBlockSize);
        header_ = static_cast<uint16_t>(image[0] | image[1] << 8);
        stage_ = valid ? Stage::DiscOpen : Stage::Failed;
    }

    bool ExpectSuccess() const { return stage_ == Stage::Succeeded; }
    bool WritesPending() const { return !expect_.empty(); }
    uint32_t AckedBlocks() const { return acked_; }
    uint32_t Blocks() const { return blocks_; }
    bool PortOpen() const { return open_; }
    std::string Where() const { return WaitName(wait_ == Wait::None ? failedAt_ : wait_); }

    bool OnOpen(const std::string& name) override
    {
        if (name != kPort)
            Violation("opened %s, not the listed port", name.c_str());
        if (open_)
            Violation("opened while open");
        if (stage_ != Stage::DiscOpen && stage_ != Stage::ReOpen)
            Violation("open after the exchange ended (%s)", Where().c_str());
        // The port vanishes (unplugged, taken) before discovery or before the
        // download's own open.
        if ((in_.Next() & 0x1F) == 0x1F) {
            stage_ = Stage::Failed;
            return false;
        }
        open_ = true;
        return true;
    }

    bool OnConfigure(uint32_t baud) override
    {
        now_ = FuzzLineNow();
        if (stage_ == Stage::DiscOpen) {
            if (baud != kProbeBaud)
                Violation("discovery at %u bit/s", baud);
            stage_ = Stage::DiscWaits;
            attempts_ = 0;
            StartWait(Wait::Beacon, 1, kProbeAttemptMs);
        } else if (stage_ == Stage::ReOpen) {
            if (baud != kDownloadBaud)
                Violation("download at %u bit/s", baud);
            stage_ = Stage::Exchange;
            Expect(SYN);
            StartWait(Wait::Syn, 3, kEchoMs);
        } else {
            Violation("configured in the middle of the exchange");
        }
        return true;
    }

    void OnClose() override
    {
        if (!open_)
            Violation("closed twice");
        open_ = false;
        rx_.clear();
        if (stage_ == Stage::DiscWaits && wait_ == Wait::None) {
            if (!expect_.empty())
                Violation("closed before the three beacon replies were out");
            stage_ = Stage::ReOpen;
        }
    }

    void OnPurge() override { rx_.clear(); }

    void OnWrite(const uint8_t* src, size_t count) override
    {
        Trace("T>D", src, count);
        for (size_t i = 0; i < count; ++i) {
            if (expect_.empty())
                Violation("wrote %02X with nothing due (stage %d, after %s)", src[i],
                          static_cast<int>(stage_), Where().c_str());
            if (src[i] != expect_.front())
                Violation("wrote %02X where %02X was due (after %s)", src[i], expect_.front(),
                          Where().c_str());
            expect_.pop_front();
        }
    }

    size_t OnRead(uint8_t* dst, size_t count) override
    {
        if (wait_ == Wait::None)
            Violation("read of %zu with no wait due (stage %d)", count, static_cast<int>(stage_));
        if (!expect_.empty())
            Violation("read while %zu bytes were still due before %s", expect_.size(), Where().c_str());
        if (count != waitCount_)
            Violation("read of %zu for %s, not %zu", count, Where().c_str(), waitCount_);
        const uint32_t elapsed = FuzzLineNow() - waitStart_;
        if (elapsed >= waitMs_)
            Violation("read %u ms into a %u ms wait for %s", elapsed, waitMs_, Where().c_str());

        now_ = FuzzLineNow();
        if (rx_.empty())
            Reply();
        now_ = FuzzLineNow(); // after a late reply
        size_t n = 0;
        while (n < count && !rx_.empty()) {
            dst[n++] = rx_.front();
            rx_.pop_front();
        }
        Trace(n ? "D>T" : "quiet", dst, n);
        if (n > 0) {
            Delivered(Bytes(dst, dst + n));
        } else {
            // The backend spends the read's time-out once we return.
            const uint32_t end = FuzzLineNow() + FuzzLineReadTimeout(count);
            if (end - waitStart_ >= waitMs_) {
                now_ = end;
                TimedOut();
            }
        }
        return n;
    }

private:
    static void Trace(const char* what, const uint8_t* bytes, size_t count)
    {
        static const bool on = std::getenv("ZQ_FUZZ_TRACE") != nullptr;
        if (!on)
            return;
        std::fprintf(stderr, "%10u %s", FuzzLineNow(), what);
        for (size_t i = 0; i < count; ++i)
            std::fprintf(stderr, " %02X", bytes[i]);
        std::fprintf(stderr, "\n");
    }
    void Expect(const Bytes& bytes) { expect_.insert(expect_.end(), bytes.begin(), bytes.end()); }
    void StartWait(Wait w, size_t count, uint32_t ms)
    {
        wait_ = w;
        waitCount_ = count;
        waitMs_ = ms;
        waitStart_ = now_;
    }
    void Fail()
    {
        failedAt_ = wait_;
        wait_ = Wait::None;
        stage_ = Stage::Failed;
    }

    Bytes Correct() const
    {
        switch (wait_) {
        case Wait::Beacon: return {DEVICE_BEACON};
        case Wait::Syn: return SYN;
        case Wait::Dbw:
        case Wait::ClrEnd: return RDY;
        case Wait::Header: return {uint8_t(header_), uint8_t(header_ >> 8)};
        case Wait::Count: return {uint8_t(blocks_), uint8_t(blocks_ >> 8)};
        default: return {ACK};
        }
    }

    // One choice from the input: what the device sends now, and how late.
    void Reply()
    {
        if (in_.Empty())
            return; // quiet from here on
        const uint8_t c = in_.Next();
        Bytes correct = Correct();
        switch (c & 7) {
        case 0: // nothing this time
            break;
        case 4: // late, but the read began in time
            FuzzLineAdvance(in_.Next() * 4u);
            rx_.insert(rx_.end(), correct.begin(), correct.end());
            break;
        case 5: { // anything: noise, a refusal, progress bytes
            const unsigned k = 1 + in_.Next() % 8;
            for (unsigned i = 0; i < k; ++i)
                rx_.push_back(in_.Next());
            break;
        }
        case 6: { // right, then trailing bytes
            rx_.insert(rx_.end(), correct.begin(), correct.end());
            const unsigned k = 1 + in_.Next() % 4;
            for (unsigned i = 0; i < k; ++i)
                rx_.push_back(in_.Next());
            break;
        }
        case 7: { // one byte wrong, or cut short
            const uint8_t v = in_.Next();
            if (v & 0x80)
                correct.resize(1 + v % correct.size());
            else
                correct[v % correct.size()] ^= static_cast<uint8_t>(v | 1);
            rx_.insert(rx_.end(), correct.begin(), correct.end());
            break;
        }
        default:
            if (wait_ == Wait::Clr && (c & 0x30) == 0x30)
                rx_.push_back(0x2E); // a progress step
            else
                rx_.insert(rx_.end(), correct.begin(), correct.end());
            break;
        }
    }

    void EchoAttempt(Wait w, uint16_t value)
    {
        Expect({uint8_t(value), uint8_t(value >> 8)});
        StartWait(w, 2, kEchoMs);
    }

    Bytes BlockWithSum(uint32_t k) const
    {
        Bytes b(image_.begin() + kImageDataOffset + kBlockSize * k, image_.begin() + kImageDataOffset + kBlockSize * (k + 1));
        uint8_t sum = 0;
        for (uint8_t v : b)
            sum ^= v;
        b.push_back(sum);
        return b;
    }

    void NextBlockOrEnd()
    {
        if (block_ < blocks_) {
            Expect(BlockWithSum(block_));
            StartWait(Wait::Block, 1, kBlockAnswerMs);
        } else {
            Expect(END);
            StartWait(Wait::Final, 1, kFinalAckMs);
        }
    }

    // What the tool must do after the device's bytes reached it.
    void Delivered(const Bytes& got)
    {
        switch (wait_) {
        case Wait::Beacon:
            if (got[0] == DEVICE_BEACON) {
                Expect(Bytes(kBeaconReplies, BEACON_REPLY));
                wait_ = Wait::None; // then the port is closed and opened again
            } else if (++attempts_ >= kProbeAttempts) {
                Fail();
            } else {
                StartWait(Wait::Beacon, 1, kProbeAttemptMs);
            }
            break;
        case Wait::Syn:
            // Beacons still in flight ahead of the echo are skipped, and the
            // wait goes on for the rest of the echo within its kEchoMs.
            for (uint8_t b : got)
                if (!synGot_.empty() || b != DEVICE_BEACON)
                    synGot_.push_back(b);
            if (synGot_.size() < 3) {
                waitCount_ = 3 - synGot_.size();
            } else if (synGot_ == SYN) {
                Expect(DBW);
                StartWait(Wait::Dbw, 3, kEchoMs);
            } else {
                Fail();
            }
            break;
        case Wait::Dbw:
            if (got == RDY) {
                failures_ = 0;
                EchoAttempt(Wait::Header, header_);
            } else {
                Fail();
            }
            break;
        case Wait::Header:
        case Wait::Count: {
            const uint16_t value = wait_ == Wait::Header ? header_ : static_cast<uint16_t>(blocks_);
            const uint32_t echo = got[0] + (got.size() > 1 ? got[1] * 256u : 0u);
            if (echo == value) {
                Expect({ACK});
                if (wait_ == Wait::Header) {
                    failures_ = 0;
                    EchoAttempt(Wait::Count, static_cast<uint16_t>(blocks_));
                } else {
                    Expect(CLR);
                    StartWait(Wait::Clr, 1, kProgressMs);
                }
            } else {
                Expect({NAK});
                if (++failures_ >= kWordAttempts)
                    Fail(); // the fifth wrong echo: its NAK, then nothing
                else
                    EchoAttempt(wait_, value);
            }
            break;
        }
        case Wait::Clr:
            if (got[0] == ACK) {
                Expect(END);
                StartWait(Wait::ClrEnd, 3, kEchoMs);
            } else {
                StartWait(Wait::Clr, 1, kProgressMs); // a progress step; no limit on them
            }
            break;
        case Wait::ClrEnd:
            if (got == RDY) {
                block_ = 0;
                refusals_ = 0;
                NextBlockOrEnd();
            } else {
                Fail();
            }
            break;
        case Wait::Block:
            if (got[0] == ACK) {
                ++acked_;
                ++block_;
                refusals_ = 0;
                NextBlockOrEnd();
            } else if (++refusals_ >= kBlockRefusals) {
                Fail();
            } else {
                Expect(BlockWithSum(block_));
                StartWait(Wait::Block, 1, kBlockAnswerMs);
            }
            break;
        case Wait::Final:
            wait_ = Wait::None;
            stage_ = got[0] == ACK ? Stage::Succeeded : Stage::Failed;
            break;
        case Wait::None:
            break;
        }
    }

    void TimedOut()
    {
        switch (wait_) {
        case Wait::Beacon:
            if (++attempts_ >= kProbeAttempts)
                Fail();
            else
                StartWait(Wait::Beacon, 1, kProbeAttemptMs);
            break;
        case Wait::Header:
        case Wait::Count:
            if (++failures_ >= kWordAttempts)
                Fail();
            else
                EchoAttempt(wait_, wait_ == Wait::Header ? header_ : static_cast<uint16_t>(blocks_));
            break;
        default:
            Fail();
            break;
        }
    }

    Input& in_;
    const Bytes& image_;
    uint32_t blocks_ = 0;
    uint16_t header_ = 0;
    Stage stage_;
    Wait wait_ = Wait::None;
    Wait failedAt_ = Wait::None;
    size_t waitCount_ = 0;
    Bytes synGot_;               // the SYN echo so far, beacons ahead of it dropped
    uint32_t waitMs_ = 0;
    uint32_t waitStart_ = 0;
    uint32_t now_ = 0; // when the tool's next wait starts
    std::deque<uint8_t> expect_; // what the tool must write next
    std::deque<uint8_t> rx_;     // sent by the device, not yet read
    bool open_ = false;
    unsigned attempts_ = 0, failures_ = 0, refusals_ = 0;
    uint32_t block_ = 0, acked_ = 0;
};

class Host : public DownloadHostBase, public ProgressSink, public NoticeSink {
public:
    explicit Host(std::string path)
    {
        imagePath_ = std::move(path);
        link_.SetPortSource([] { return std::vector<PortInfo>{{kPort, "", ""}}; });
    }
    ProgressSink& Progress() override { return *this; }
    NoticeSink& Notice() override { return *this; }
    void SetRange(uint32_t maximum) override { range = maximum; }
    void SetPos(uint32_t position) override { lastPos = position; }
    void ShowNotice(const std::string& text) override
    {
        notices.push_back(text);
        fileOpenAtNotice = imageFile_.IsOpen();
    }
    CImageFile& file() { return imageFile_; }
    CSerialLink& link() { return link_; }

    std::vector<std::string> notices;
    uint32_t range = 0, lastPos = 0;
    bool fileOpenAtNotice = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 8)
        return 0;
    Input in(data, size);
    const uint32_t blocks = in.Next() % 9;
    const uint32_t tail = in.Next() % kBlockSize;
    const uint8_t nLo = in.Next(), nHi = in.Next(), flags = in.Next(), clock = in.Next();
    const uint8_t seed = in.Next();
    (void)in.Next(); // room for later shapes

    const size_t length = zq::kImageDataOffset + zq::kBlockSize * blocks + tail;
    Bytes image(length);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    uint16_t n = static_cast<uint16_t>(nLo | nHi << 8);
    if (!(flags & 1))
        n = static_cast<uint16_t>(n % ((length - zq::kImageDataOffset) / zq::kLengthPerWord + 1)); // mostly within the length rule
    zq::StampImageHeader(image, n);
    if ((flags & 0x0E) == 0x0E)
        image[2 + (flags >> 4) % 4] ^= 0x20;
    const bool valid = length >= zq::kImageDataOffset + zq::kLengthPerWord * n &&
                       std::memcmp(&image[zq::kImageMagicOffset], zq::kImageMagic, sizeof zq::kImageMagic) == 0;

    const int fd = FuzzImageFd();
    if (ftruncate(fd, 0) != 0 || pwrite(fd, image.data(), image.size(), 0) != static_cast<ssize_t>(image.size()))
        std::abort();
    // The clock starts anywhere, often just short of its wrap.
    FuzzLineSetClock(clock & 0x80 ? 0xFFFFFFFFu - (clock & 0x7F) * 16u : clock * 977u);

    Device device(in, image, valid);
    FuzzLineAttach(&device);
    Host host(FuzzImagePath());
    if (DownloadThreadProc(&host) != 0)
        Violation("worker returned non-zero");
    FuzzLineAttach(nullptr);

    if (host.notices.size() != 1)
        Violation("%zu notices", host.notices.size());
    const std::string& notice = host.notices[0];
    static const bool verbose = std::getenv("ZQ_FUZZ_VERBOSE") != nullptr;
    if (verbose)
        std::fprintf(stderr, "%s (%u of %u blocks acknowledged, last wait: %s)\n", notice.c_str(),
                     device.AckedBlocks(), blocks, device.Where().c_str());
    if (device.WritesPending())
        Violation("stopped before sending what was due after %s", device.Where().c_str());
    if (device.ExpectSuccess()) {
        if (notice != kNoticeSuccess)
            Violation("device acknowledged everything, tool said \"%s\"", notice.c_str());
        if (device.AckedBlocks() != blocks)
            Violation("success with %u of %u blocks acknowledged", device.AckedBlocks(), blocks);
        if (host.lastPos != bar::Range(blocks))
            Violation("success with the bar at %u", host.lastPos);
    } else {
        if (notice != kNoticeFail)
            Violation("\"%s\" although the exchange failed at %s", notice.c_str(), device.Where().c_str());
        if (host.lastPos != 0)
            Violation("failure with the bar at %u", host.lastPos);
    }
    if (!host.fileOpenAtNotice)
        Violation("image closed before the notice");
    if (device.PortOpen() || host.link().IsOpen())
        Violation("port left open");
    if (host.file().IsOpen())
        Violation("image left open");
    return 0;
}
