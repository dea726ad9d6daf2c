// Forwarding as the command line drives it: started before any device is
// touched, woken by each record that reaches the disk, given its last
// seconds when the program ends.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "forward/Forwarder.h"
#include "cli/Options.h"

namespace zq {

class CRecordLog;

// Owns the forwarder of one run (none without --forward). Its end gives
// pending records up to 10 s and says how many wait; the exit status stays
// that of the flashing.
class CForwarding {
public:
    CForwarding() = default;
    ~CForwarding();
    CForwarding(const CForwarding&) = delete;
    CForwarding& operator=(const CForwarding&) = delete;

    // False with the reason when --forward was given and cannot work. The
    // records come from logPath, as log appends them.
    bool Start(const ForwardTarget& target, const std::string& logPath, CRecordLog& log, std::string& error);
    // Drains; true when nothing waits.
    bool Finish(double seconds, bool untilIdle = false);
    // Records not yet delivered, as the forwarder last looked (0 without one).
    size_t Pending() const;
    // Who hears what the forwarder tells besides stderr (the served
    // station's board); an empty sink: no one. Once it returns, the last
    // one is told nothing more.
    void Also(CForwarder::Sink sink);

private:
    void Tell(const std::string& text);

    std::unique_ptr<CForwarder> forwarder_;
    std::mutex alsoMutex_;
    CForwarder::Sink also_;
    std::string again_;
};

// --forward-pending: 0 when every record was delivered, 1 when some wait,
// 64 when forwarding cannot start.
int ForwardPending(const ForwardPendingOptions& options);

}  // namespace zq
