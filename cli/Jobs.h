// The job commands of zerquill-flash (--make-job, --sign-job, --verify-job)
// and what a run takes from its job, all settled before any port is opened.
#pragma once

#include <memory>
#include <string>

#include "download/ImageCheck.h"
#include "release/Job.h"
#include "cli/Options.h"
#include "record/Record.h"
#include "release/Release.h"

namespace zq {

class CChannelClient;

struct JobRun {
    bool hasJob = false;
    Job job;
    ImageSnapshot snapshot; // with a job: read once, and the pinned image
    RecordTags tags;
    std::string releasedBy; // "eng (d4294048...)", as the board says it; empty: not checked
    unsigned lotLeft = 0; // a lot's units still to write; 0: no lot
    // --channel: the client whose release in force this run's job is, and
    // the channel as given. Null: the job (or image) was given here.
    std::shared_ptr<CChannelClient> channel;
    std::string channelUrl;
    unsigned channelEvery = 60; // a station's refreshes, in seconds
};

int MakeJob(const MakeJobOptions& options);
int SignJob(const SignJobOptions& options);
int VerifyJob(const VerifyJobOptions& options, const TrustStore& store);

// Fills run (and the options the job sets: ports, log) and returns -1 to go
// on; else the exit status, after saying why.
int PrepareRun(FlashOptions& options, const TrustStore& store, JobRun& run);

}  // namespace zq
