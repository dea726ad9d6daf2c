// A job as a station opens it before it runs: its release checked where the
// station is locked, and by whom, and its image read once and held to the
// pin; and the one-button dialogs' download of a released image.
#pragma once

#include <string>

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

// false with one line saying why: the job cannot be read or is malformed, it
// is not released on a locked station, or its image is not the pinned one.
bool OpenJob(const std::string& path, const TrustStore& store, OpenedJob& opened, std::string& why);

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
