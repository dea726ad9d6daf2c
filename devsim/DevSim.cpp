#include "devsim/DevSim.h"
#include "protocol/Protocol.h"

#include "devsim/Session.h"
#include "devsim/SimLine.h"
#include "devsim/Text.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <pty.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

namespace zq {

namespace devsim {


CDevSim::CDevSim(CUniqueFd line, DevSimOptions options, CUniqueFd keepOpen)
    : line_(std::make_unique<CSimLine>(std::move(line), std::move(keepOpen), options.line == DevSimLineKind::Serial)),
      options_(std::move(options))
{
}

CDevSim::~CDevSim() = default;

void CDevSim::Stop() { line_->Stop(); }

bool CDevSim::LineOpen() const { return line_->IsOpen(); }

DevSimReport CDevSim::RunSession()
{
    DevSimReport rep;
    const int64_t t0 = NowNs();
    if (line_->Stopped()) {
        rep.endedAt = "stopped";
        return rep;
    }
    if (!line_->IsOpen()) {
        rep.endedAt = "line closed" + (line_->LastError().empty() ? std::string() : ": " + line_->LastError());
        return rep;
    }
    // The default 50 us timer slack is more than half a byte at 115200.
    if (options_.pace)
        (void)::prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
    line_->SetPace(options_.pace);
    line_->SetReadLag(static_cast<int64_t>(options_.readLagMs) * kNsPerMs);
    line_->SetSpeedCheck(options_.checkSpeed);
    line_->SetRecordLimit(options_.recordLimit);
    line_->BeginSession();

    rep.exchangeSeconds = PlaySession(*line_, options_, rep);

    LineLog log = line_->TakeLog();
    rep.received = std::move(log.received);
    rep.sent = std::move(log.sent);
    rep.receivedTotal = log.receivedTotal;
    rep.sentTotal = log.sentTotal;
    rep.speedErrors = std::move(log.speedErrors);
    rep.speedErrorCount = log.speedErrorCount;
    rep.speedUnchecked = log.speedUnsure;

    if (!options_.outFile.empty() && (rep.completed || !rep.data.empty())) {
        std::ofstream out(options_.outFile, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(rep.data.data()), static_cast<std::streamsize>(rep.data.size()));
        out.close();
        if (!out)
            rep.notes.push_back("could not write " + options_.outFile + ": " + std::strerror(errno));
    }
    rep.seconds = static_cast<double>(NowNs() - t0) / 1e9;
    return rep;
}

bool OpenDevSimPty(DevSimPty& pty, std::string& error)
{
    int m = -1;
    int s = -1;
    if (::openpty(&m, &s, nullptr, nullptr, nullptr) != 0) {
        error = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    CUniqueFd master(m);
    CUniqueFd slave(s);
    char name[128];
    const int nameErr = ::ttyname_r(slave.Get(), name, sizeof name);
    if (nameErr != 0) {
        error = std::string("ttyname_r: ") + std::strerror(nameErr);
        return false;
    }
    for (int fd : {master.Get(), slave.Get()}) {
        termios tio{};
        if (::tcgetattr(fd, &tio) != 0) {
            error = std::string("tcgetattr: ") + std::strerror(errno);
            return false;
        }
        ::cfmakeraw(&tio);
        if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
            error = std::string("tcsetattr: ") + std::strerror(errno);
            return false;
        }
        if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
            error = std::string("fcntl FD_CLOEXEC: ") + std::strerror(errno);
            return false;
        }
    }
    const int flags = ::fcntl(master.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(master.Get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        error = std::string("fcntl O_NONBLOCK: ") + std::strerror(errno);
        return false;
    }
    pty.master = std::move(master);
    pty.slave = std::move(slave);
    pty.slavePath = name;
    return true;
}

bool OpenDevSimSerial(const std::string& path, CUniqueFd& fd, std::string& error)
{
    return OpenSerialLine(path, fd, error);
}

} // namespace devsim

}  // namespace zq
