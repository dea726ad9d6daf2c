#include "image/ImagePath.h"

#include "image/ModulePath.h"

namespace zq {

const char* const kImageFileName = "DB.bin";

std::string DefaultImagePath()
{
    // ExecutablePath() is empty when the path does not fit whole: a cut-off
    // path could point into some other folder.
    const std::string exe = ExecutablePath();
    return exe.empty() ? std::string() : ImagePathIn(FolderOf(exe));
}

// A folder without any backslash gives "\DB.bin", as the dialog always did.
std::string ImagePathIn(const std::string& folder) { return folder + "\\" + kImageFileName; }

}  // namespace zq
