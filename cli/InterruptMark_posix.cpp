#include "cli/InterruptMark.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "platform/UniqueFd.h"

namespace zq {

namespace {

const char* const kName = "zerquill-flash.interrupted";

// A folder that is this user's alone: a folder itself, not a link to one,
// owned by the user, that nobody else may write in.
CUniqueFd OpenOwnFolder(const std::string& path)
{
    CUniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st{};
    if (!fd || ::fstat(fd.Get(), &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)))
        return CUniqueFd();
    return fd;
}

// The session's runtime folder (XDG_RUNTIME_DIR) when it is the user's, else
// a folder of the user's own in the temporary folder, made 0700 on first
// use. Everything after goes through the open folder, so that nothing can
// be swapped in between the check and the use.
CUniqueFd MarkFolder(bool create)
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') {
        CUniqueFd fd = OpenOwnFolder(runtime);
        if (fd)
            return fd;
    }
    std::error_code ec;
    const std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
    if (ec)
        return CUniqueFd();
    const std::string own = (tmp / ("zerquill-flash-" + std::to_string(::geteuid()))).string();
    if (create && ::mkdir(own.c_str(), 0700) != 0 && errno != EEXIST)
        return CUniqueFd();
    return OpenOwnFolder(own);
}

} // namespace

bool WriteInterruptMark(const std::string& text)
{
    const CUniqueFd folder = MarkFolder(true);
    if (!folder)
        return false;
    // Whatever stands under the name goes, and the mark is made afresh:
    // never opened through a link, never another's file.
    (void)::unlinkat(folder.Get(), kName, 0);
    const CUniqueFd fd(::openat(folder.Get(), kName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    return fd && ::write(fd.Get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool ReadInterruptMark(std::string& text, std::chrono::seconds& age)
{
    const CUniqueFd folder = MarkFolder(false);
    if (!folder)
        return false;
    // O_NONBLOCK: a fifo under the name must not hold the run up.
    const CUniqueFd fd(::openat(folder.Get(), kName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st{};
    if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    char buffer[512];
    const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0)
        return false;
    text.assign(buffer, static_cast<size_t>(n));
    age = std::chrono::seconds(std::time(nullptr) - st.st_mtime);
    return true;
}

void RemoveInterruptMark()
{
    const CUniqueFd folder = MarkFolder(false);
    if (folder)
        (void)::unlinkat(folder.Get(), kName, 0);
}

}  // namespace zq
