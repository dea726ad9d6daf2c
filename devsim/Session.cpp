#include "devsim/Session.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "protocol/Protocol.h"
#include "devsim/SimLine.h"
#include "devsim/Text.h"

namespace zq {

namespace devsim {
namespace {

using zq::kBeaconReplies;
using zq::kBlockSize;
using zq::kWordAttempts;
using zq::Token;
constexpr uint8_t kNak = zq::NAK;
constexpr uint8_t kBeacon = zq::DEVICE_BEACON;
constexpr uint8_t kBeaconReply = zq::BEACON_REPLY;
// How long to wait for the second byte when deciding whether a stray byte
// starts a new attempt or the next phase.
constexpr int64_t kPeekNs = 200 * kNsPerMs;

using zq::kClr;
using zq::kDbw;
using zq::kEnd;
using zq::kRdy;
using zq::kSyn;

class CSession {
public:
    CSession(CSimLine& line, const DevSimOptions& options, DevSimReport& report)
        : line_(line), opt_(options), rep_(report), start_(NowNs())
    {
        refused_.assign(opt_.refusals.size(), 0);
    }

    void Run()
    {
        if (!Discover())
            return;
        exchangeStart_ = NowNs();
        if (Sync() && Dbw() && Word("header word", opt_.headerEcho, DevSimStep::Header, rep_.headerWord,
                                    rep_.headerAttempts) &&
            Word("block count", opt_.countEcho, DevSimStep::Count, rep_.count, rep_.countAttempts) && Clr() &&
            ClrEnd() && Blocks() && Final()) {
            rep_.completed = true;
            rep_.endedAt = opt_.finalReply == zq::ACK
                               ? "completed"
                               : Format("the closing END answered with 0x%02X instead of ACK", opt_.finalReply);
            Trace("%s", rep_.endedAt.c_str());
        }
    }

    double ExchangeSeconds() const
    {
        return exchangeStart_ ? static_cast<double>(NowNs() - exchangeStart_) / 1e9 : 0.0;
    }

private:
    void Trace(const char* fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        if (!opt_.trace)
            return;
        char buf[512];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(buf, sizeof buf, fmt, ap);
        va_end(ap);
        opt_.trace(Format("[%9.3f ms] %s", static_cast<double>(NowNs() - start_) / 1e6, buf));
    }

    void SetStep(std::string step)
    {
        step_ = std::move(step);
        line_.SetStep(step_);
    }

    bool End(const std::string& why)
    {
        if (rep_.endedAt.empty()) {
            rep_.endedAt = why;
            Trace("session ends: %s", why.c_str());
        }
        return false;
    }

    bool EndBy(Got r)
    {
        switch (r) {
        case Got::Stopped: return End("stopped while " + step_);
        case Got::Closed: return End("line closed while " + step_ + ": " + line_.LastError());
        case Got::Timeout:
            return End(Format("tool silent for %u ms while %s", opt_.silenceMs, step_.c_str()));
        case Got::Byte: break;
        }
        return true;
    }

    int64_t SilenceDeadline() const { return NowNs() + static_cast<int64_t>(opt_.silenceMs) * kNsPerMs; }

    bool Next(uint8_t& b)
    {
        const Got r = line_.Get(b, SilenceDeadline());
        return r == Got::Byte || EndBy(r);
    }

    // As n calls of Next, without a wake-up for each byte.
    bool NextMany(uint8_t* out, size_t n)
    {
        const Got r = line_.GetMany(out, n, static_cast<int64_t>(opt_.silenceMs) * kNsPerMs);
        return r == Got::Byte || EndBy(r);
    }

    bool Send(const std::vector<uint8_t>& bytes)
    {
        const Got r = line_.Put(bytes, SilenceDeadline());
        if (r == Got::Timeout)
            return End(Format("line blocked for %u ms while %s (the tool stopped reading)", opt_.silenceMs,
                              step_.c_str()));
        return r == Got::Byte || EndBy(r);
    }

    // From here on the device says nothing and only listens, until the tool
    // gives up and goes quiet.
    bool GoSilent(const char* where)
    {
        Trace("falling silent at %s", where);
        SetStep(std::string("silent at ") + where);
        for (;;) {
            uint8_t b;
            const Got r = line_.Get(b, SilenceDeadline());
            if (r == Got::Byte)
                continue;
            if (r == Got::Timeout)
                return End(Format("silent at %s as asked; the tool then went quiet", where));
            return EndBy(r);
        }
    }

    bool Discover()
    {
        SetStep("discovery");
        line_.SetRate(LineRate::Discovery);
        const int64_t interval = static_cast<int64_t>(opt_.beaconIntervalMs ? opt_.beaconIntervalMs : 1) * kNsPerMs;
        int64_t next = NowNs();
        unsigned run = 0;
        std::vector<uint8_t> queued;
        uint32_t noise = 0x2545F491u;
        Trace("beaconing every %u ms", opt_.beaconIntervalMs);
        for (;;) {
            uint8_t b;
            const Got r = line_.Get(b, next);
            if (r == Got::Byte) {
                run = b == kBeaconReply ? run + 1 : 0;
                if (run == kBeaconReplies)
                    break;
                continue;
            }
            if (r != Got::Timeout)
                return EndBy(r);
            // A real device hears its line while it works; we may have been
            // kept from reading it (a busy machine). Had the replies come, it
            // would beacon no more: one sent now could reach the tool after
            // it has switched to 115200, ahead of the SYN echo.
            const int64_t due = line_.Queued(queued);
            unsigned ahead = run;
            for (uint8_t q : queued) {
                ahead = q == kBeaconReply ? ahead + 1 : 0;
                if (ahead == kBeaconReplies)
                    break;
            }
            if (ahead == kBeaconReplies) {
                next = due;
                continue;
            }
            for (unsigned i = 0; i < opt_.noiseBytes; ++i) {
                noise = noise * 1664525u + 1013904223u;
                uint8_t n = static_cast<uint8_t>(noise >> 24);
                if (n == kBeacon)
                    n = 0x00;
                const Got w = line_.PutIfRoom(n);
                if (w == Got::Stopped || w == Got::Closed)
                    return EndBy(w);
            }
            const Got w = line_.PutIfRoom(kBeacon);
            if (w == Got::Stopped || w == Got::Closed)
                return EndBy(w);
            next += interval;
            const int64_t now = NowNs();
            if (next < now)
                next = now + interval;
        }
        rep_.sawBeaconReply = true;
        Trace("heard the beacon reply three times");
        line_.DropPendingOutput();
        if (!line_.SetRate(LineRate::Exchange))
            return End("cannot switch the line to " + std::to_string(kExchangeBaud) + ": " + line_.LastError());
        return true;
    }

    // Waits for a three-letter command; anything before it is noted and dropped.
    bool Expect(const Token& t)
    {
        SetStep(std::string("waiting for ") + t.name);
        std::vector<uint8_t> skipped;
        unsigned matched = 0;
        while (matched < 3) {
            uint8_t b;
            if (!Next(b)) {
                if (!skipped.empty())
                    rep_.notes.push_back(Format("before %s: %s", t.name, HexList(skipped).c_str()));
                return false;
            }
            if (b == t.b[matched]) {
                ++matched;
                continue;
            }
            skipped.insert(skipped.end(), t.b, t.b + matched);
            // The letters of a command are all different, so a mismatch can
            // only restart the match at its first letter.
            matched = b == t.b[0] ? 1 : 0;
            if (!matched)
                skipped.push_back(b);
        }
        if (!skipped.empty()) {
            rep_.notes.push_back(Format("before %s the tool sent %s", t.name, HexList(skipped).c_str()));
            Trace("skipped %zu unexpected byte(s) before %s", skipped.size(), t.name);
        }
        Trace("%s received", t.name);
        return true;
    }

    bool SendToken(const Token& t) { return Send({t.b[0], t.b[1], t.b[2]}); }

    bool Sync()
    {
        if (!Expect(kSyn))
            return false;
        if (opt_.silentAt == DevSimStep::Syn)
            return GoSilent("syn");
        SetStep("echoing SYN");
        switch (opt_.synEcho) {
        case DevSimEcho::Wrong:
            Trace("echoing SYN with its middle letter changed");
            return Send({kSyn.b[0], static_cast<uint8_t>(kSyn.b[1] ^ 0x20), kSyn.b[2]});
        case DevSimEcho::Short:
            Trace("echoing SYN short");
            return Send({kSyn.b[0], kSyn.b[1]});
        case DevSimEcho::Missing: return GoSilent("syn");
        case DevSimEcho::Right: break;
        }
        return SendToken(kSyn);
    }

    bool Dbw()
    {
        if (!Expect(kDbw))
            return false;
        if (opt_.noRdy || opt_.silentAt == DevSimStep::Dbw)
            return GoSilent("dbw");
        SetStep("answering DBW");
        Trace("RDY");
        return SendToken(kRdy);
    }

    // Gets the next byte if one comes within kPeekNs; false (and nothing ended) if not.
    bool Peek(uint8_t& b, bool& ok)
    {
        const Got r = line_.Get(b, NowNs() + kPeekNs);
        ok = true;
        if (r == Got::Byte)
            return true;
        if (r != Got::Timeout)
            ok = EndBy(r);
        return false;
    }

    // One two-byte word (low byte first), echoed, then ACK or NAK from the tool.
    bool Word(const char* name, const DevSimEchoFault& fault, DevSimStep step, uint16_t& value, unsigned& attempts)
    {
        if (opt_.silentAt == step)
            return GoSilent(StepName(step));
        for (;;) {
            SetStep(Format("waiting for the %s (attempt %u)", name, attempts + 1));
            uint8_t lo, hi;
            if (!Next(lo) || !Next(hi))
                return false;
            ++attempts;
            value = static_cast<uint16_t>(lo | hi << 8);
            const DevSimEcho echo = attempts <= fault.attempts ? fault.echo : DevSimEcho::Right;
            Trace("%s 0x%04X, attempt %u: %s echo", name, value, attempts, EchoName(echo));
            SetStep(Format("echoing the %s (attempt %u)", name, attempts));
            bool sent = true;
            switch (echo) {
            case DevSimEcho::Right: sent = Send({lo, hi}); break;
            case DevSimEcho::Wrong: sent = Send({static_cast<uint8_t>(lo ^ 0xFF), hi}); break;
            case DevSimEcho::Short: sent = Send({lo}); break;
            case DevSimEcho::Missing: break;
            }
            if (!sent)
                return false;
            if (echo == DevSimEcho::Missing)
                continue; // no reply for the tool: it sends the word again, without ACK or NAK

            SetStep(Format("waiting for ACK or NAK after the %s", name));
            uint8_t b;
            if (!Next(b))
                return false;
            if (b == zq::ACK) {
                ++rep_.acksReceived;
                Trace("ACK");
                return true;
            }
            if (b == kNak) {
                ++rep_.nakReceived;
                Trace("NAK");
                if (attempts < kWordAttempts)
                    continue;
                rep_.notes.push_back(Format("%s: no match in %u attempts; the tool went on without ACK", name,
                                            attempts));
                return true;
            }
            // Neither: either the tool took our echo for no reply and sends
            // the word again, or it went on to the next phase without ACK.
            uint8_t b2 = 0;
            bool ok = true;
            const bool have2 = Peek(b2, ok);
            if (!ok)
                return false;
            if (have2)
                line_.Unget(b2);
            line_.Unget(b);
            if (have2 && b == lo && b2 == hi) {
                rep_.notes.push_back(Format("%s: sent again without ACK or NAK after attempt %u", name, attempts));
                continue;
            }
            rep_.notes.push_back(Format("%s: the tool went on without ACK or NAK (next byte 0x%02X)", name, b));
            Trace("no ACK or NAK; following the tool to the next phase");
            return true;
        }
    }

    // Progress bytes at full speed, as fast as the line takes them: a count
    // of them, or for a time.
    bool Flood()
    {
        SetStep("flooding progress bytes");
        std::vector<uint8_t> chunk(256, opt_.progressByte);
        if (opt_.floodBytes != 0) {
            Trace("flooding %u progress bytes", opt_.floodBytes);
            for (unsigned left = opt_.floodBytes; left > 0; left -= static_cast<unsigned>(chunk.size())) {
                chunk.resize(std::min<size_t>(left, chunk.size()));
                if (!Send(chunk))
                    return false;
                rep_.progressSent += static_cast<unsigned>(chunk.size());
            }
            return true;
        }
        Trace("flooding progress bytes %s", opt_.floodMs < 0 ? "without end" : "");
        const int64_t end = opt_.floodMs < 0 ? INT64_MAX : NowNs() + static_cast<int64_t>(opt_.floodMs) * kNsPerMs;
        while (NowNs() < end) {
            if (!Send(chunk))
                return false;
            rep_.progressSent += static_cast<unsigned>(chunk.size());
        }
        return true;
    }

    bool Clr()
    {
        if (!Expect(kClr))
            return false;
        if (opt_.silentAt == DevSimStep::Clr)
            return GoSilent("clr");
        for (unsigned i = 0; i < opt_.progressBytes; ++i) {
            SetStep(Format("sending progress byte %u of %u", i + 1, opt_.progressBytes));
            if (opt_.progressDelayMs) {
                const Got r = line_.WaitUntil(NowNs() + static_cast<int64_t>(opt_.progressDelayMs) * kNsPerMs);
                if (r != Got::Timeout)
                    return EndBy(r);
            }
            if (!Send({opt_.progressByte}))
                return false;
            ++rep_.progressSent;
        }
        if ((opt_.floodBytes != 0 || opt_.floodMs != 0) && !Flood())
            return false;
        SetStep("acknowledging CLR");
        Trace("%u progress byte(s), then ACK", rep_.progressSent);
        return Send({zq::ACK});
    }

    bool ClrEnd()
    {
        if (opt_.silentAt == DevSimStep::End)
            return GoSilent("end");
        if (!Expect(kEnd))
            return false;
        SetStep("answering END");
        return SendToken(kRdy);
    }

    bool Blocks()
    {
        std::vector<uint8_t> block(kBlockSize + 1);
        unsigned i = 0;
        while (i < rep_.count) {
            if (opt_.silentAt == DevSimStep::Block && opt_.silentBlock == i)
                return GoSilent(Format("block %u", i).c_str());
            SetStep(Format("receiving block %u (0 of %zu bytes in)", i, block.size()));
            if (!NextMany(block.data(), kBlockSize))
                return false;
            SetStep(Format("receiving block %u (%u of %zu bytes in)", i, kBlockSize, block.size()));
            if (!NextMany(block.data() + kBlockSize, 1))
                return false;
            ++rep_.deliveries;
            if (opt_.hangupBlock >= 0 && static_cast<unsigned long>(opt_.hangupBlock) == i) {
                line_.HangUp();
                rep_.hungUp = true;
                return End(Format("hung up at block %u", i));
            }
            uint8_t sum = 0;
            for (size_t j = 0; j < kBlockSize; ++j)
                sum ^= block[j];
            SetStep(Format("answering block %u", i));
            if (sum != block[kBlockSize]) {
                ++rep_.checksumErrors;
                Trace("block %u: checksum 0x%02X, computed 0x%02X: refused", i, block[kBlockSize], sum);
                if (!Send({opt_.refusalByte}))
                    return false;
                continue;
            }
            bool refuse = false;
            for (size_t k = 0; k < opt_.refusals.size() && !refuse; ++k) {
                if (opt_.refusals[k].block == i && refused_[k] < opt_.refusals[k].times) {
                    ++refused_[k];
                    refuse = true;
                }
            }
            if (refuse) {
                ++rep_.refusals;
                Trace("block %u refused as asked", i);
                if (!Send({opt_.refusalByte}))
                    return false;
                continue;
            }
            rep_.data.insert(rep_.data.end(), block.begin(), block.begin() + kBlockSize);
            ++rep_.blocks;
            if (!Send({zq::ACK}))
                return false;
            ++i;
        }
        Trace("%u block(s) taken", rep_.blocks);
        return true;
    }

    bool Final()
    {
        if (opt_.silentAt == DevSimStep::Final)
            return GoSilent("final");
        if (!Expect(kEnd))
            return false;
        SetStep("answering the closing END");
        return Send({opt_.finalReply});
    }

    CSimLine& line_;
    const DevSimOptions& opt_;
    DevSimReport& rep_;
    const int64_t start_;
    int64_t exchangeStart_ = 0;
    std::string step_;
    std::vector<unsigned> refused_;
};

} // namespace

double PlaySession(CSimLine& line, const DevSimOptions& options, DevSimReport& report)
{
    CSession session(line, options, report);
    session.Run();
    return session.ExchangeSeconds();
}

} // namespace devsim

}  // namespace zq
