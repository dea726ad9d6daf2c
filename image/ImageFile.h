// A plain read-only file, opened exclusively unless told to share it with
// other readers: the role the framework's file object plays for the image. One backend per OS (ImageFile_posix.cpp,
// ImageFile_win32.cpp). Bound to an image already in memory, it serves those
// bytes instead, whatever happens to the file on disk meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/UniqueHandle.h"

namespace zq {

enum class FileError { None, NotFound, AccessDenied, Busy, NotRegular, Io };

// Exclusive: no other program may open the file while we read it.
// SharedRead: other readers may (two command lines on two adapters, one
// image), a writer may not.
enum class ImageShare { Exclusive, SharedRead };

class CImageFile {
public:
    CImageFile() = default;

    // Opens an existing file for reading in binary mode, shared as
    // SetShare said (Exclusive by default), where the OS can refuse others.
    bool Open(const std::string& path);
    // For the opens that follow; an open file keeps the share it has.
    void SetShare(ImageShare share) { share_ = share; }
    bool IsOpen() const { return handle_.IsOpen() || memoryOpen_; }
    bool SeekFromStart(uint64_t offset);
    bool SeekRelative(int64_t delta);
    // Bytes read (fewer at the end of the file), or -1 on a read error.
    int64_t Read(void* dst, size_t count);
    // False on error; *length untouched then.
    bool Length(uint64_t* length) const;
    void Close();
    FileError LastError() const { return lastError_; }

    // From now on Open(path) of that path opens these bytes, not the file;
    // any other path is not found. Several files may share one image.
    void BindMemory(std::string path, std::shared_ptr<const std::vector<uint8_t>> bytes);
    // Back to the file on disk for the opens that follow.
    void Unbind() { BindMemory(std::string(), nullptr); }
    // The bytes an open memory image serves; null for a file on disk.
    std::shared_ptr<const std::vector<uint8_t>> HeldBytes() const { return memoryOpen_ ? memory_ : nullptr; }
    // The OS's code (errno, GetLastError()) behind the last error; 0 if none.
    int LastOsError() const { return osError_; }

private:
    static const int kOsNotFound; // the OS's code for a file not found
    // The file on disk, named by a path the OS can hold.
    bool OsOpen(const std::string& path);
    bool OsSeekFromStart(uint64_t offset);
    bool OsSeekRelative(int64_t delta);
    int64_t OsRead(void* dst, size_t count);
    bool OsLength(uint64_t* length) const;
    void OsClose();

    void Failed(FileError error, int osError)
    {
        lastError_ = error;
        osError_ = osError;
    }

    COsHandle handle_;
    ImageShare share_ = ImageShare::Exclusive;
    FileError lastError_ = FileError::None;
    int osError_ = 0;
    std::string memoryPath_;
    std::shared_ptr<const std::vector<uint8_t>> memory_;
    bool memoryOpen_ = false;
    uint64_t memoryPos_ = 0;
};

}  // namespace zq
