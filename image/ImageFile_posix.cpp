#include "image/ImageFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zq {

namespace {
FileError FromErrno(int err)
{
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return FileError::NotFound;
    case EACCES:
    case EPERM:
        return FileError::AccessDenied;
    case EWOULDBLOCK:
        return FileError::Busy;
    default:
        return FileError::Io;
    }
}
} // namespace

const int CImageFile::kOsNotFound = ENOENT;

bool CImageFile::OsOpen(const std::string& path)
{
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        Failed(FromErrno(errno), errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        // A FIFO or a device would block or never end; only a file is an image.
        ::close(fd);
        Failed(FileError::NotRegular, 0);
        return false;
    }
    // Other programs on Linux do not have to honour this lock, but two
    // copies of this tool (or a writer that locks) do. Shared locks keep
    // each other's company and refuse an exclusive one, either way round.
    const int lock = share_ == ImageShare::SharedRead ? LOCK_SH : LOCK_EX;
    int rc;
    do {
        rc = ::flock(fd, lock | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        Failed(errno == EWOULDBLOCK ? FileError::Busy : FromErrno(errno), errno);
        ::close(fd);
        return false;
    }
    handle_.Reset(fd);
    return true;
}

bool CImageFile::OsSeekFromStart(uint64_t offset)
{
    if (!IsOpen() || offset > static_cast<uint64_t>(INT64_MAX))
        return false;
    return ::lseek(static_cast<int>(handle_.Get()), static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool CImageFile::OsSeekRelative(int64_t delta)
{
    if (!IsOpen())
        return false;
    return ::lseek(static_cast<int>(handle_.Get()), static_cast<off_t>(delta), SEEK_CUR) >= 0;
}

int64_t CImageFile::OsRead(void* dst, size_t count)
{
    if (!IsOpen())
        return -1;
    ssize_t n;
    do {
        n = ::read(static_cast<int>(handle_.Get()), dst, count);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        Failed(FileError::Io, errno);
        return -1;
    }
    return n;
}

bool CImageFile::OsLength(uint64_t* length) const
{
    if (!IsOpen())
        return false;
    struct stat st {};
    if (::fstat(static_cast<int>(handle_.Get()), &st) != 0)
        return false;
    *length = static_cast<uint64_t>(st.st_size);
    return true;
}

void CImageFile::OsClose()
{
    handle_.Reset(); // the lock goes with the descriptor
}

}  // namespace zq
