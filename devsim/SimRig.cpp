#include "devsim/SimRig.h"

#include <chrono>
#include <stdexcept>

namespace zq {

namespace devsim {

CSimRig::CSimRig(DevSimOptions options)
{
    DevSimPty pty;
    std::string error;
    if (!OpenDevSimPty(pty, error))
        throw std::runtime_error("pty: " + error);
    path_ = pty.slavePath;
    sim_ = std::make_unique<CDevSim>(std::move(pty.master), std::move(options), std::move(pty.slave));
    Start();
}

CSimRig::~CSimRig()
{
    sim_->Stop();
    if (session_.valid())
        session_.wait();
}

void CSimRig::Start()
{
    overran_ = false;
    session_ = std::async(std::launch::async, [this] { return sim_->RunSession(); });
}

const DevSimReport& CSimRig::Finish()
{
    if (session_.valid()) {
        sim_->Stop();
        report_ = session_.get();
    }
    return report_;
}

const DevSimReport& CSimRig::Wait(int boundMs)
{
    if (session_.valid()) {
        if (boundMs > 0 &&
            session_.wait_for(std::chrono::milliseconds(boundMs)) != std::future_status::ready) {
            overran_ = true;
            sim_->Stop();
        }
        report_ = session_.get();
    }
    return report_;
}

} // namespace devsim

}  // namespace zq
