// The image a run sends, taken before it starts: opened, accepted by the
// same rules as a single download, held in memory and hashed. A station, a
// job and a locked dialog check this snapshot and send exactly it.
#pragma once

#include <string>

#include "download/DownloadHost.h"
#include "image/ImageSnapshot.h"

namespace zq {

// Over an image already open: Validate, then HoldImage. False with the
// refusal (ImageRefused) or ImageRead in failure, as a download reports it.
bool CheckAndHold(CDbImage& image, CImageFile& file, const std::string& path, ImageSnapshot& snapshot,
                  DownloadFailure& failure);

// Opens the file, then CheckAndHold, then hashes what is held.
// False with the reason in failure (ImageOpen, ImageRefused or ImageRead,
// as a download would report it); then nothing is kept.
// share: how the file is held while it is read (the command line lets other
// readers in; a window holds it alone).
bool TakeImageSnapshot(const std::string& path, ImageSnapshot& snapshot, DownloadFailure& failure,
                       ImageShare share = ImageShare::Exclusive);

}  // namespace zq
