#include "record/Record.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zq {

COsHandle OpenRecordFile(const std::string& path, bool append, int& osError)
{
    const int flags = append ? O_RDWR | O_APPEND | O_CREAT : O_RDONLY;
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    osError = fd < 0 ? errno : 0;
    return COsHandle(fd);
}

namespace {

bool IsRegular(int fd)
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

RecordClaim ClaimRecordFile(intptr_t file, int& osError)
{
    const int fd = static_cast<int>(file);
    if (!IsRegular(fd))
        return RecordClaim::Taken;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0)
        return RecordClaim::Taken;
    osError = errno;
    return errno == EWOULDBLOCK ? RecordClaim::InUse : RecordClaim::Failed;
}

// close() lets it go at once.
void ReleaseRecordFile(intptr_t) {}

int LastRecordByte(intptr_t file, int& osError)
{
    const int fd = static_cast<int>(file);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        osError = errno;
        return -1;
    }
    if (!S_ISREG(st.st_mode) || st.st_size == 0)
        return -1;
    unsigned char last = 0;
    ssize_t n;
    do {
        n = ::pread(fd, &last, 1, st.st_size - 1);
    } while (n < 0 && errno == EINTR);
    if (n == 1)
        return last;
    osError = n < 0 ? errno : EIO;
    return -1;
}

bool AppendRecordBytes(intptr_t file, const std::string& bytes, int& osError)
{
    const int fd = static_cast<int>(file);
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            osError = n < 0 ? errno : EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) == 0)
        return true;
    osError = errno;
    return false;
}

}  // namespace zq
