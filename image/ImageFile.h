// A plain read-only file, opened exclusively: the role the framework's file
// object plays for the image. One backend per OS (ImageFile_posix.cpp,
// ImageFile_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class FileError { None, NotFound, AccessDenied, Busy, NotRegular, Io };

class CImageFile {
public:
    CImageFile() = default;
    ~CImageFile();
    CImageFile(const CImageFile&) = delete;
    CImageFile& operator=(const CImageFile&) = delete;
    CImageFile(CImageFile&& other) noexcept;
    CImageFile& operator=(CImageFile&& other) noexcept;

    // Opens an existing file for reading in binary mode, not shared with
    // other programs where the OS can refuse them.
    bool Open(const std::string& path);
    bool IsOpen() const { return handle_ != kInvalid; }
    bool SeekFromStart(uint64_t offset);
    bool SeekRelative(int64_t delta);
    // Bytes read (fewer at the end of the file), or -1 on a read error.
    int64_t Read(void* dst, size_t count);
    // False on error; *length untouched then.
    bool Length(uint64_t* length) const;
    void Close();
    FileError LastError() const { return lastError_; }

private:
    static constexpr intptr_t kInvalid = -1;
    intptr_t handle_ = kInvalid;
    FileError lastError_ = FileError::None;
};
