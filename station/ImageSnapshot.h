// The image a station writes into every device: read once into memory,
// accepted by the same rules as a single download, and hashed. Each
// download then reads it through a file bound to these bytes, so every
// device gets the same image even if the file changes on disk meanwhile.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "download/DownloadHost.h"

namespace zq {

struct ImageSnapshot {
    std::string path;
    std::shared_ptr<const std::vector<uint8_t>> bytes;
    std::string sha256;   // 64 hex digits
    uint16_t header = 0;  // N
    uint32_t blocks = 0;  // X
    uint32_t tail = 0;    // bytes after the last whole block, never sent

    // A file for one download, reading this snapshot.
    void Bind(CImageFile& file) const { file.BindMemory(path, bytes); }
};

// False with the reason in failure (ImageOpen, ImageRefused or ImageRead,
// as a download would report it); then nothing is kept.
// share: how the file is held while it is read (the command line lets other
// readers in; a window holds it alone).
bool TakeImageSnapshot(const std::string& path, ImageSnapshot& snapshot, DownloadFailure& failure,
                       ImageShare share = ImageShare::Exclusive);

}  // namespace zq
