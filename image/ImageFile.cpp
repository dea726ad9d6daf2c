#include "image/ImageFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zq {

void CImageFile::BindMemory(std::string path, std::shared_ptr<const std::vector<uint8_t>> bytes)
{
    Close();
    memoryPath_ = std::move(path);
    memory_ = std::move(bytes);
}

bool CImageFile::Open(const std::string& path)
{
    Close();
    Failed(FileError::None, 0);
    // An empty name, or one a NUL cuts short, names no file the OS could open.
    if (path.empty() || path.find('\0') != std::string::npos) {
        Failed(FileError::NotFound, memory_ ? ENOENT : kOsNotFound);
        return false;
    }
    if (!memory_)
        return OsOpen(path);
    if (path != memoryPath_) {
        Failed(FileError::NotFound, ENOENT);
        return false;
    }
    memoryOpen_ = true;
    memoryPos_ = 0;
    return true;
}

bool CImageFile::SeekFromStart(uint64_t offset)
{
    if (!memoryOpen_)
        return OsSeekFromStart(offset);
    memoryPos_ = offset;
    return true;
}

bool CImageFile::SeekRelative(int64_t delta)
{
    if (!memoryOpen_)
        return OsSeekRelative(delta);
    if (delta < 0 && static_cast<uint64_t>(-delta) > memoryPos_)
        return false; // before the start, as lseek refuses
    memoryPos_ += static_cast<uint64_t>(delta);
    return true;
}

int64_t CImageFile::Read(void* dst, size_t count)
{
    if (!memoryOpen_)
        return OsRead(dst, count);
    const uint64_t size = memory_->size();
    if (memoryPos_ >= size)
        return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, size - memoryPos_));
    std::memcpy(dst, memory_->data() + memoryPos_, n);
    memoryPos_ += n;
    return static_cast<int64_t>(n);
}

bool CImageFile::Length(uint64_t* length) const
{
    if (!memoryOpen_)
        return OsLength(length);
    *length = memory_->size();
    return true;
}

void CImageFile::Close()
{
    memoryOpen_ = false;
    OsClose();
}

}  // namespace zq
