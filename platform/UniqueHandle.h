// One owner for one OS handle: a POSIX descriptor, a Win32 HANDLE. Move-only;
// the handle is closed when its owner goes. Traits give the stored type, the
// value that means "none" and how to close.
#pragma once

#include <cstdint>

namespace zq {

template <class Traits>
class CUniqueHandle {
public:
    using Value = typename Traits::Value;

    CUniqueHandle() = default;
    explicit CUniqueHandle(Value value) : value_(value) {}
    ~CUniqueHandle() { Reset(); }

    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;
    CUniqueHandle(CUniqueHandle&& other) noexcept : value_(other.Release()) {}
    CUniqueHandle& operator=(CUniqueHandle&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }

    Value Get() const { return value_; }
    bool IsOpen() const { return value_ != Traits::kInvalid; }
    explicit operator bool() const { return IsOpen(); }

    Value Release()
    {
        const Value value = value_;
        value_ = Traits::kInvalid;
        return value;
    }

    void Reset(Value value = Traits::kInvalid)
    {
        if (IsOpen())
            Traits::Close(value_);
        value_ = value;
    }

private:
    Value value_ = Traits::kInvalid;
};

// The handles of the core's OS backends (the image file, the serial port),
// kept as an integer so that no header needs the OS's types: a descriptor on
// POSIX, a HANDLE on Windows (INVALID_HANDLE_VALUE is -1 too).
struct OsHandleTraits {
    using Value = intptr_t;
    static constexpr intptr_t kInvalid = -1;
    static void Close(intptr_t handle); // close() or CloseHandle()
};
using COsHandle = CUniqueHandle<OsHandleTraits>;

}  // namespace zq
