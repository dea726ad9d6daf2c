#include "channel/StateFile.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>

#include "platform/DurableFile.h"

namespace zq {

bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string& error)
{
    const std::string temp = path + ".tmp";
    bool written = false;
    {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(temp.c_str(), "wb"), &std::fclose);
        written = file && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size() &&
                  std::fflush(file.get()) == 0 && SyncToDisk(file.get());
    }
    error = temp + ": cannot be written";
    if (written && ReplaceFileAtomically(temp, path, error) && SyncFolderOf(path, error))
        return true;
    std::remove(temp.c_str());
    return false;
}

bool ReadWholeFile(const std::string& path, std::string& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace zq
