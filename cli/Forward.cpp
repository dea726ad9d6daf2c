#include "cli/Forward.h"

#include <cstdio>

#include "record/Record.h"
#include "platform/Format.h"

namespace zq {

namespace {

void Say(const std::string& text) { std::fprintf(stderr, "zerquill-flash: %s\n", text.c_str()); }

ForwardConfig ConfigFrom(const ForwardTarget& target)
{
    ForwardConfig config;
    config.url = target.url;
    config.tokenFile = target.tokenFile;
    config.caFile = target.ca;
    return config;
}

} // namespace

CForwarding::~CForwarding() { Finish(10); }

bool CForwarding::Start(const ForwardTarget& target, const std::string& logPath, CRecordLog& log,
                        std::string& error)
{
    if (target.url.empty())
        return true;
    auto forwarder = std::make_unique<CForwarder>(ConfigFrom(target), [this](const std::string& text) { Tell(text); });
    if (!forwarder->Start(logPath, error))
        return false;
    forwarder_ = std::move(forwarder);
    // How to send the rest by hand, as this run was given it (the token's
    // file, never the token).
    again_ = "zerquill-flash --forward-pending --log " + logPath + " --forward " + target.url;
    if (!target.tokenFile.empty())
        again_ += " --forward-token-file " + target.tokenFile;
    if (!target.ca.empty())
        again_ += " --forward-ca " + target.ca;
    CForwarder* notified = forwarder_.get();
    log.OnAppended([notified] { notified->Notify(); });
    return true;
}

bool CForwarding::Finish(double seconds, bool untilIdle)
{
    if (!forwarder_)
        return true;
    const size_t waiting = forwarder_->Drain(seconds, untilIdle);
    const size_t delivered = forwarder_->Delivered();
    forwarder_.reset();
    if (waiting == 0)
        Say("forward: every record delivered (" + std::to_string(delivered) + " in all)");
    else
        Say("forward: " + Counted(waiting, "record waits", "records wait") +
            " to be delivered; " + again_ + " sends them");
    return waiting == 0;
}

size_t CForwarding::Pending() const { return forwarder_ ? forwarder_->Pending() : 0; }

void CForwarding::Also(CForwarder::Sink sink)
{
    std::lock_guard<std::mutex> lock(alsoMutex_);
    also_ = std::move(sink);
}

void CForwarding::Tell(const std::string& text)
{
    Say(text);
    std::lock_guard<std::mutex> lock(alsoMutex_);
    if (also_)
        also_(text);
}

int ForwardPending(const ForwardPendingOptions& options)
{
    // The station that writes the log forwards it itself: a second sender
    // beside it would send every record twice. A log not there is told by
    // the forwarder, as before.
    CRecordLog held;
    std::string error;
    if (!held.Hold(options.log, error) && held.InUse()) {
        std::fprintf(stderr, "zerquill-flash: %s\n", error.c_str());
        return 1;
    }
    CForwarding forwarding;
    if (!forwarding.Start(options.forward, options.log, held, error)) {
        std::fprintf(stderr, "zerquill-flash: %s\n", error.c_str());
        return 64;
    }
    // As long as the receiver takes records, a long backlog goes out whole.
    return forwarding.Finish(10, true) ? 0 : 1;
}

}  // namespace zq
