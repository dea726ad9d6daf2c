// Scratch folders and sample images for the Windows tests.
#pragma once

#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/TestImage.h"

namespace zq {

// A folder under the user's temp folder, removed with its files.
class TempFolder {
public:
    TempFolder()
    {
        char base[MAX_PATH];
        const DWORD n = GetTempPathA(MAX_PATH, base);
        if (n == 0 || n >= MAX_PATH)
            throw std::runtime_error("GetTempPathA failed");
        for (unsigned attempt = 0; attempt < 1000; ++attempt) {
            path_ = std::string(base) + "zq-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(GetTickCount() + attempt);
            if (CreateDirectoryA(path_.c_str(), nullptr))
                return;
        }
        throw std::runtime_error("CreateDirectoryA failed");
    }
    ~TempFolder()
    {
        WIN32_FIND_DATAA found;
        HANDLE h = FindFirstFileA((path_ + "\\*").c_str(), &found);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                const std::string name = found.cFileName;
                if (name != "." && name != "..")
                    DeleteFileA((path_ + "\\" + name).c_str());
            } while (FindNextFileA(h, &found));
            FindClose(h);
        }
        RemoveDirectoryA(path_.c_str());
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "\\" + name; }

private:
    std::string path_;
};

inline bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
    return ok && written == bytes.size();
}

}  // namespace zq
