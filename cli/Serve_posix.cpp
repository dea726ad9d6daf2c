#include "cli/Serve.h"

#include "channel/ChannelClient.h"
#include "cli/Options.h"
#include "cli/Report.h"
#include "platform/HostName.h"
#include "serve/StationServer.h"

namespace zq {

namespace {

class CServedPosix : public CServedStation {
public:
    CServedPosix(ServeSetup setup, SessionEvents& view) : server_(std::move(setup), view) {}
    SessionEvents& Events() override { return server_.Events(); }
    bool Listen(CStationSession& session, std::string& where, std::string& why) override
    {
        if (!server_.Listen(session, why))
            return false;
        where = host_ + ":" + std::to_string(server_.Port());
        return true;
    }
    void Summary(const StationTotals& totals) override { server_.Summary(totals); }
    void Steer(StationOptions& options) override { server_.Steer(options); }
    std::string host_;

private:
    CStationServer server_;
};

} // namespace

bool CanServe() { return true; }

std::unique_ptr<CServedStation> ServeStation(const ServeOptions& serve, const ImageSnapshot& image,
                                             const JobRun& run, const std::string& recordPath,
                                             const std::atomic<bool>* stop, SessionEvents& view,
                                             std::function<size_t()> pending)
{
    ServeSetup setup;
    setup.host = serve.host;
    setup.port = serve.port;
    setup.token = serve.token;
    setup.station = run.hasJob && !run.job.station.empty() ? run.job.station : HostName();
    setup.version = kVersion;
    setup.image = &image;
    if (run.hasJob) {
        setup.job = &run.job;
        setup.signedBy = run.tags.signedBy;
        setup.releasedBy = run.releasedBy;
        setup.lotWritten = run.job.units > run.lotLeft && run.lotLeft ? run.job.units - run.lotLeft : 0;
    }
    setup.stop = stop;
    setup.pending = std::move(pending);
    if (run.channel) {
        std::shared_ptr<CChannelClient> client = run.channel;
        setup.channel = [client, url = run.channelUrl] {
            const ChannelStatus s = client->Status();
            ServedChannel c;
            c.url = url;
            if (s.release) {
                c.version = s.release->targetsVersion;
                c.job = s.release->opened.job.name;
                c.expires = s.release->expires;
            }
            c.checked = s.checked;
            c.confirmed = s.confirmed;
            c.error = s.lastError ? DescribeChannelError(s.lastError) : std::string();
            return c;
        };
    }
    if (!recordPath.empty()) {
        setup.report = [recordPath](std::string& page) { return YieldPage(recordPath, page); };
        setup.reportFile = recordPath;
    }
    auto served = std::make_unique<CServedPosix>(std::move(setup), view);
    served->host_ = serve.host.find(':') != std::string::npos ? "[" + serve.host + "]" : serve.host;
    return served;
}

}  // namespace zq
