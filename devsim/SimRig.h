// The simulator on a fresh pty with its session on a thread of its own: the
// device at the other end of the tool's line in the tests, the soak and the
// screenshot program.
#pragma once

#include <future>
#include <memory>
#include <string>

#include "devsim/DevSim.h"

namespace zq {

namespace devsim {

class CSimRig {
public:
    // Starts one session at once. Throws std::runtime_error when no pty can
    // be had.
    explicit CSimRig(DevSimOptions options);
    // Stops the simulator and waits for its session.
    ~CSimRig();
    CSimRig(const CSimRig&) = delete;
    CSimRig& operator=(const CSimRig&) = delete;

    // The line to point the tool at.
    const std::string& Path() const { return path_; }
    CDevSim& Sim() { return *sim_; }

    // Runs the next session, once the last one has been collected.
    void Start();
    // Asks the running session to end promptly, without waiting for it.
    void Stop() { sim_->Stop(); }
    // Stops the session and returns its report (the last one's, once collected).
    const DevSimReport& Finish();
    // Waits for the session to end by itself, at most boundMs if above 0;
    // one still running then is stopped and Overran() says so.
    const DevSimReport& Wait(int boundMs = 0);
    bool Overran() const { return overran_; }

private:
    std::string path_;
    std::unique_ptr<CDevSim> sim_;
    std::future<DevSimReport> session_;
    DevSimReport report_;
    bool overran_ = false;
};

} // namespace devsim

}  // namespace zq
