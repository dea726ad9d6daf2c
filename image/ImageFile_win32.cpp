#include "image/ImageFile.h"

#include <windows.h>

namespace zq {

namespace {

HANDLE H(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

FileError FromLastError(DWORD err)
{
    switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return FileError::NotFound;
    case ERROR_ACCESS_DENIED:
        return FileError::AccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return FileError::Busy;
    default:
        return FileError::Io;
    }
}

} // namespace

const int CImageFile::kOsNotFound = ERROR_FILE_NOT_FOUND;

bool CImageFile::OsOpen(const std::string& path)
{
    // Share mode 0: no other program may open the image while we read it.
    // Sharing reads only: other readers may, a writer may not, and a file
    // already open for writing refuses us.
    const DWORD share = share_ == ImageShare::SharedRead ? FILE_SHARE_READ : 0;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        Failed(FromLastError(err), static_cast<int>(err));
        return false;
    }
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        Failed(FileError::NotRegular, 0);
        return false;
    }
    handle_.Reset(reinterpret_cast<intptr_t>(h));
    return true;
}

bool CImageFile::OsSeekFromStart(uint64_t offset)
{
    if (!IsOpen() || offset > static_cast<uint64_t>(INT64_MAX))
        return false;
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(H(handle_.Get()), to, nullptr, FILE_BEGIN) != 0;
}

bool CImageFile::OsSeekRelative(int64_t delta)
{
    if (!IsOpen())
        return false;
    LARGE_INTEGER by;
    by.QuadPart = delta;
    return SetFilePointerEx(H(handle_.Get()), by, nullptr, FILE_CURRENT) != 0;
}

int64_t CImageFile::OsRead(void* dst, size_t count)
{
    if (!IsOpen())
        return -1;
    DWORD got = 0;
    const DWORD want = count > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(count);
    if (!ReadFile(H(handle_.Get()), dst, want, &got, nullptr)) {
        Failed(FileError::Io, static_cast<int>(GetLastError()));
        return -1;
    }
    return got;
}

bool CImageFile::OsLength(uint64_t* length) const
{
    if (!IsOpen())
        return false;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(H(handle_.Get()), &size))
        return false;
    *length = static_cast<uint64_t>(size.QuadPart);
    return true;
}

void CImageFile::OsClose()
{
    handle_.Reset();
}

}  // namespace zq
