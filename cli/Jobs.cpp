#include "cli/Jobs.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "download/Causes.h"
#include "download/DownloadHost.h"
#include "cli/FlashHost.h"
#include "release/OpenedJob.h"

namespace zq {

namespace {

void Warn(const std::string& text) { std::fprintf(stderr, "zerquill-flash: %s\n", text.c_str()); }

// Why the image cannot be sent, as --check says it; the exit status.
int SayImageRefused(const std::string& path, const DownloadFailure& refused)
{
    const bool unopened = refused.step == FailStep::ImageOpen || refused.step == FailStep::ImageRead;
    std::fprintf(stderr, "%s\n%s\n", unopened ? kNoticeFileOpenFailed : kNoticeFail,
                 DescribeFailure(refused, {}, path).c_str());
    return ExitStatusFor(refused.step);
}

int SayNotPinned(const Job& job, const ImageSnapshot& image)
{
    std::fprintf(stderr,
                 "%s\nthe image is not the one job %s pins: %s\n  sha256 of the image  %s\n  sha256 the job pins  %s\n",
                 kNoticeFail, job.name.c_str(), job.image.c_str(), image.sha256.c_str(), job.sha256.c_str());
    return kExitRefused;
}

// The image as --check would take it; false after saying why not.
bool TakeImage(const std::string& path, ImageSnapshot& image, int& status)
{
    DownloadFailure refused;
    if (TakeImageSnapshot(path, image, refused, ImageShare::SharedRead))
        return true;
    status = SayImageRefused(path, refused);
    return false;
}

// The job's image, read and compared with its pin; false after saying why not.
bool TakePinnedImage(const Job& job, ImageSnapshot& image, int& status)
{
    if (!TakeImage(job.image, image, status))
        return false;
    if (image.sha256 == job.sha256)
        return true;
    status = SayNotPinned(job, image);
    return false;
}

bool LoadKey(const std::string& path, PrivateKey& key, PublicKey& pub)
{
    std::string error;
    if (!ReadPrivateKeyFile(path, key, error)) {
        Warn("--key: " + error);
        return false;
    }
    const std::string exposed = PrivateKeyExposure(path);
    if (!exposed.empty())
        std::fprintf(stderr, "%s\n", exposed.c_str());
    pub = PublicHalf(key, std::filesystem::path(path).stem().string());
    return true;
}

bool WriteFile(const std::string& path, const uint8_t* data, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    return static_cast<bool>(out);
}

// Writes JOB.sig for the job's bytes; the exit status.
int WriteSignature(const std::string& jobPath, const Bytes& bytes, const PrivateKey& key, const PublicKey& pub)
{
    Bytes signature;
    if (!Sign(key, bytes.data(), bytes.size(), signature)) {
        Warn("the signature could not be made");
        return kExitFailed;
    }
    const std::string sigPath = SignaturePath(jobPath);
    if (!WriteFile(sigPath, signature.data(), signature.size())) {
        Warn(sigPath + ": cannot be written");
        return kExitFailed;
    }
    std::printf("signed %s: %s, by %s (%s)\n", jobPath.c_str(), sigPath.c_str(), pub.name.c_str(),
                pub.fingerprint.c_str());
    return kExitWritten;
}

// The keys a job is verified with: the store's where it holds any, else
// --trust's. False (64) for a --trust file that holds no key.
bool TrustedKeys(const std::vector<std::string>& trust, const TrustStore& store, std::vector<PublicKey>& keys)
{
    if (!store.unreadable.empty())
        Warn("no key is trusted: " + store.unreadable);
    for (const std::string& problem : store.unusable)
        Warn("trusted key skipped: " + problem);
    if (store.Locked()) {
        keys = store.keys;
        return true;
    }
    for (const std::string& path : trust) {
        PublicKey key;
        std::string error;
        if (!ReadPublicKeyFile(path, key, error)) {
            Warn("--trust: " + error);
            return false;
        }
        keys.push_back(key);
    }
    return true;
}

bool ReadJobOrSay(const std::string& option, const std::string& path, Job& job, Bytes& bytes)
{
    std::string error;
    if (ReadJob(path, job, bytes, error))
        return true;
    Warn(option + ": " + error);
    return false;
}

} // namespace

int MakeJob(const MakeJobOptions& options)
{
    std::error_code ec;
    if (std::filesystem::exists(options.job, ec) && !options.force) {
        Warn("--make-job: " + options.job + " exists; --force replaces it");
        return kExitUsage;
    }
    PrivateKey key;
    PublicKey pub;
    if (!options.key.empty() && !LoadKey(options.key, key, pub))
        return kExitUsage;
    ImageSnapshot image;
    int status = kExitFailed;
    if (!TakeImage(options.image, image, status))
        return status;
    const std::string text = JobText(options.name, PathFromFileFolder(options.image, options.job), image.sha256,
                                     options.units, pub.fingerprint);
    const Bytes bytes(text.begin(), text.end());
    if (!WriteFile(options.job, bytes.data(), bytes.size())) {
        Warn(options.job + ": cannot be written");
        return kExitFailed;
    }
    std::printf("job %s: %s, image %s, sha256 %s%s\n", options.job.c_str(), options.name.c_str(),
                options.image.c_str(), image.sha256.c_str(),
                options.units ? (", " + std::to_string(options.units) + " units").c_str() : "");
    return options.key.empty() ? kExitWritten : WriteSignature(options.job, bytes, key, pub);
}

int SignJob(const SignJobOptions& options)
{
    Job job;
    Bytes bytes;
    if (!ReadJobOrSay("--sign-job", options.job, job, bytes))
        return kExitUsage;
    PrivateKey key;
    PublicKey pub;
    if (!LoadKey(options.key, key, pub))
        return kExitUsage;
    if (!job.signer.empty() && job.signer != pub.fingerprint) {
        Warn("--sign-job: " + options.job + " names " + job.signer + " as its signer, not " + pub.name + " (" +
             pub.fingerprint + ")");
        return kExitUsage;
    }
    // What is signed is what was tested: the image must still be the pinned one.
    ImageSnapshot image;
    int status = kExitFailed;
    if (!TakePinnedImage(job, image, status))
        return status;
    return WriteSignature(options.job, bytes, key, pub);
}

int VerifyJob(const VerifyJobOptions& options, const TrustStore& store)
{
    Job job;
    Bytes bytes;
    std::vector<PublicKey> keys;
    if (!ReadJobOrSay("--verify-job", options.job, job, bytes) || !TrustedKeys(options.trust, store, keys))
        return kExitUsage;
    if (keys.empty()) {
        Warn(options.job + " cannot be verified: this station has no trusted key (" +
             std::string(kTrustStoreName) + "); give --trust KEY.pub");
        return kExitNotReleased;
    }
    const ReleaseCheck release = CheckRelease(job.path, bytes, job.signer, keys);
    std::fprintf(release.state == ReleaseState::Released ? stdout : stderr, "%s\n", release.text.c_str());
    return release.state == ReleaseState::Released ? kExitWritten : kExitNotReleased;
}

// The job opened as every station opens one, its refusal in the command
// line's words; -1 to go on, else the exit status.
int OpenRunJob(const FlashOptions& options, const TrustStore& store, OpenedJob& opened)
{
    const JobRefusal refusal = OpenReleasedJob(options.job, [&](std::vector<PublicKey>& keys, bool& check) {
        if (!TrustedKeys(options.trust, store, keys))
            return false;
        // --check sends nothing: it looks at the image whoever released the job.
        check = (store.Locked() || !keys.empty()) && options.mode != FlashMode::Check;
        return true;
    }, opened);
    if (refusal.checked && refusal.step != JobRefusal::Step::NotReleased)
        std::printf("%s\n", refusal.release.text.c_str());
    switch (refusal.step) {
    case JobRefusal::Step::None:
        return -1;
    case JobRefusal::Step::Unreadable:
        Warn("--job: " + refusal.error);
        return kExitUsage;
    case JobRefusal::Step::NoKeys:
        return kExitUsage; // said already
    case JobRefusal::Step::NotReleased:
        std::fprintf(stderr, "%s\n%s\n", kNoticeFail, refusal.release.text.c_str());
        return kExitNotReleased;
    case JobRefusal::Step::ImageRefused:
        return SayImageRefused(opened.job.image, refusal.refused);
    case JobRefusal::Step::NotPinned:
        return SayNotPinned(opened.job, opened.image);
    }
    return kExitFailed;
}

int PrepareRun(FlashOptions& options, const TrustStore& store, JobRun& run)
{
    if (options.job.empty()) {
        if (store.Locked() && options.mode != FlashMode::Check) {
            std::fprintf(stderr, "%s\n%s: give --job JOB\n", kNoticeFail, JobsOnlyText(store).c_str());
            return kExitNotReleased;
        }
        return -1;
    }
    OpenedJob opened;
    const int refused = OpenRunJob(options, store, opened);
    if (refused >= 0)
        return refused;
    run.hasJob = true;
    run.job = std::move(opened.job);
    run.snapshot = std::move(opened.image);
    run.tags.signedBy = opened.signedBy;
    run.releasedBy = opened.releasedBy;
    if (options.port.empty() && options.ports.empty())
        options.ports = run.job.Ports();
    if (options.log.empty())
        options.log = run.job.log;
    options.image = run.job.image;
    run.tags.job = run.job.name;
    run.tags.station = run.job.station;
    return -1;
}

}  // namespace zq
