// The one image a download sends: the bytes that were checked, read once and
// held, so that a file changed, replaced or truncated while blocks flow
// changes nothing the device receives. A station shares one snapshot among
// all its downloads; a single download holds its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "image/DbImage.h"
#include "image/ImageFile.h"

namespace zq {

struct ImageSnapshot {
    std::string path;
    std::shared_ptr<const std::vector<uint8_t>> bytes;
    std::string sha256;   // 64 hex digits; empty where nobody asked for it
    uint16_t header = 0;  // N
    uint32_t blocks = 0;  // X
    uint32_t tail = 0;    // bytes after the last whole block, never sent

    // A file for one download, reading this snapshot.
    void Bind(CImageFile& file) const { file.BindMemory(path, bytes); }
};

// Reads the whole of an image that Validate accepted, checkedLength bytes,
// into memory; a file already serving held bytes lends them without a copy.
// The held bytes then pass the acceptance rules again, since the file may
// have changed between its check and its read. False with ReadError when the
// file no longer gives checkedLength bytes or a read fails, or with the
// refusal of what was read.
bool HoldImage(CImageFile& file, const std::string& path, uint64_t checkedLength, ImageSnapshot& snapshot,
               ImageRefusal& refusal);

}  // namespace zq
