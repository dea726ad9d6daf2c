// The sizes a channel's files may have before their length is known from a
// signed parent: a server sending endless data is cut off there.
#pragma once

#include <cstddef>

namespace zq {

// Roots are fetched before anything names their length; a root with a
// hundred keys is far below this.
constexpr size_t kChannelRootMaxBytes = 512 * 1024;
// The timestamp names one file.
constexpr size_t kChannelTimestampMaxBytes = 16 * 1024;
// Snapshot and targets, where their parent names no length.
constexpr size_t kChannelMetadataMaxBytes = 4 * 1024 * 1024;
// Each request over HTTP gives up after this long.
constexpr int kChannelFetchTimeoutMs = 60000;

// The target that is a channel's release: a job in today's format.
extern const char* const kReleaseTarget;

}  // namespace zq
