// A job as a station opens it before it runs: its release checked where the
// station is locked, and by whom, and its image read once and held to the
// pin; and the one-button dialogs' download of a released image.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "download/DownloadHost.h"
#include "download/ImageCheck.h"
#include "release/Job.h"
#include "release/Release.h"

namespace zq {

struct OpenedJob {
    Job job;
    ImageSnapshot image;     // the pinned image, read once
    std::string signedBy;    // the fingerprint of the key that released it; empty for a job not checked
    std::string releasedBy;  // "eng (d4294048...)"; empty for a job not checked
};

// Where opening a job stopped, and what that step found, for each front end
// to word in its own way.
struct JobRefusal {
    enum class Step { None, Unreadable, NoKeys, NotReleased, ImageRefused, NotPinned };
    Step step = Step::None;
    std::string error;       // Unreadable: the job file's fault
    ReleaseCheck release;    // NotReleased, or released where it was checked
    bool checked = false;    // the release was checked (and holds, past NotReleased)
    DownloadFailure refused; // ImageRefused

    explicit operator bool() const { return step != Step::None; }
};

// The keys a job must be released by, asked once the job is read (a front
// end may have words about them only then). check: whether the release is
// checked at all (a locked station checks it even with no usable key).
// false: the keys cannot be had (NoKeys).
using ReleaseKeys = std::function<bool(std::vector<PublicKey>& keys, bool& check)>;

// Every front end's rule for a job: read it, check its release against the
// keys, read its image once and hold it to the pin.
JobRefusal OpenReleasedJob(const std::string& path, const ReleaseKeys& keys, OpenedJob& opened);

// false with one line saying why: the job cannot be read or is malformed, it
// is not released on a locked station, or its image is not the pinned one.
bool OpenJob(const std::string& path, const TrustStore& store, OpenedJob& opened, std::string& why);

// "this station runs released jobs only (...)": what a locked station says
// of a bare image, before each front end's way out; within the brackets
// where the keys are, or why the store cannot be read.
std::string JobsOnlyText(const TrustStore& store);

// "name (fingerprint's first 16 hex digits...)".
std::string ReleaserText(const PublicKey& key);

// For the one-button dialog: empty where the station is not locked, or where
// a released job beside the image (DB.zqjob beside DB.bin) pins exactly this
// image; else why the image is not released, in one line. released, where
// given, gets the image as it was checked (nothing where the station is not
// locked): the bytes to send, and no others.
std::string ImageReleaseRefusal(const std::string& imagePath, const TrustStore& store,
                                ImageSnapshot* released = nullptr);

// The one-button dialogs' download, on the worker's thread: a station whose
// administrator installed trusted keys writes only an image a released job
// beside it pins, exactly as it was checked; else the fail notice, and
// nothing is sent.
void DownloadReleasedImage(DownloadHost* host);
// The same against the given trust store rather than the installed one.
void DownloadReleasedImage(DownloadHost* host, const TrustStore& store);

// A file name that is a job's rather than an image's.
bool IsJobPath(const std::string& path);

}  // namespace zq
