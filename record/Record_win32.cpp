#include "record/Record.h"

#include <windows.h>

namespace zq {

namespace {

HANDLE H(intptr_t file) { return reinterpret_cast<HANDLE>(file); }

// Windows locks are mandatory: a lock over the records would stop --report
// and the forwarder reading them. The last byte a 64-bit offset can name is
// far past any record file, and a range ending there does not wrap.
OVERLAPPED LockPlace()
{
    OVERLAPPED at{};
    at.Offset = 0xFFFFFFFEu;
    at.OffsetHigh = 0xFFFFFFFFu;
    return at;
}

} // namespace

COsHandle OpenRecordFile(const std::string& path, bool append, int& osError)
{
    // Append data only: a write never lands anywhere but at the end.
    const DWORD access = append ? GENERIC_READ | FILE_APPEND_DATA : GENERIC_READ;
    HANDLE h = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           append ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    osError = h == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0;
    return COsHandle(reinterpret_cast<intptr_t>(h));
}

RecordClaim ClaimRecordFile(intptr_t file, int& osError)
{
    if (GetFileType(H(file)) != FILE_TYPE_DISK)
        return RecordClaim::Taken;
    OVERLAPPED at = LockPlace();
    if (LockFileEx(H(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
        return RecordClaim::Taken;
    osError = static_cast<int>(GetLastError());
    return osError == ERROR_LOCK_VIOLATION ? RecordClaim::InUse : RecordClaim::Failed;
}

void ReleaseRecordFile(intptr_t file)
{
    // Closing would let the lock go too, but only once the system gets round
    // to it: a window that starts its station again at once would find its
    // own old lock.
    OVERLAPPED at = LockPlace();
    if (GetFileType(H(file)) == FILE_TYPE_DISK)
        UnlockFileEx(H(file), 0, 1, 0, &at);
}

int LastRecordByte(intptr_t file, int& osError)
{
    LARGE_INTEGER size{};
    if (GetFileType(H(file)) != FILE_TYPE_DISK)
        return -1;
    if (!GetFileSizeEx(H(file), &size)) {
        osError = static_cast<int>(GetLastError());
        return -1;
    }
    if (size.QuadPart == 0)
        return -1;
    const uint64_t at = static_cast<uint64_t>(size.QuadPart) - 1;
    OVERLAPPED place{};
    place.Offset = static_cast<DWORD>(at);
    place.OffsetHigh = static_cast<DWORD>(at >> 32);
    unsigned char last = 0;
    DWORD n = 0;
    if (ReadFile(H(file), &last, 1, &n, &place) && n == 1)
        return last;
    osError = static_cast<int>(GetLastError());
    if (osError == 0)
        osError = ERROR_HANDLE_EOF;
    return -1;
}

bool AppendRecordBytes(intptr_t file, const std::string& bytes, int& osError)
{
    for (size_t done = 0; done < bytes.size();) {
        // Both halves all ones: at the end of the file, whatever the handle's
        // position (a read moved it).
        OVERLAPPED end{};
        end.Offset = end.OffsetHigh = 0xFFFFFFFFu;
        DWORD n = 0;
        if (!WriteFile(H(file), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n, &end) || n == 0) {
            osError = static_cast<int>(GetLastError());
            return false;
        }
        done += n;
    }
    if (FlushFileBuffers(H(file)))
        return true;
    osError = static_cast<int>(GetLastError());
    return false;
}

}  // namespace zq
