// What the fault tests and the soak share: a host that keeps only counts (a
// flooding device must not make the test itself grow), a watcher of the
// bytes the tool writes, and the process's own resource counts.
#pragma once

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "DownloadHost.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZQ_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZQ_SANITIZED 1
#endif
#endif
#if defined(ZQ_SANITIZED)
#include <sanitizer/allocator_interface.h>
#endif

namespace faults {

// Descriptors, threads and resident memory of this process.
struct ProcCounts {
    int fds = -1;
    int threads = -1;
    long rssKb = -1;
    // Live heap bytes where a sanitizer's allocator can tell (its quarantine
    // and fake stacks make RSS meaningless there), else -1.
    long heapBytes = -1;
};

inline long LiveHeapBytes()
{
#if defined(ZQ_SANITIZED)
    return static_cast<long>(__sanitizer_get_current_allocated_bytes());
#else
    return -1;
#endif
}

inline int CountFds()
{
    DIR* d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    int n = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.')
            ++n;
    }
    closedir(d);
    return n - 1; // the directory stream's own descriptor
}

inline long StatusField(const char* name)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t len = std::strlen(name);
    while (std::getline(in, line)) {
        if (line.compare(0, len, name) == 0 && line.size() > len && line[len] == ':')
            return std::strtol(line.c_str() + len + 1, nullptr, 10);
    }
    return -1;
}

inline ProcCounts Counts()
{
    ProcCounts c;
    c.fds = CountFds();
    c.threads = static_cast<int>(StatusField("Threads"));
    c.rssKb = StatusField("VmRSS");
    c.heapBytes = LiveHeapBytes();
    return c;
}

// Counts what the tool writes and keeps its last bytes; can run a hook when
// the link closes (discovery closes the port before the download opens it).
class WriteWatch : public LinkObserver {
public:
    void OnWrite(const uint8_t* bytes, size_t count) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        total_ += count;
        tail_.insert(tail_.end(), bytes, bytes + count);
        if (tail_.size() > 512)
            tail_.erase(tail_.begin(), tail_.end() - 512);
    }
    void OnClose() override
    {
        ++closes_;
        if (onClose)
            onClose(closes_);
    }
    uint64_t Total()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return total_;
    }
    std::vector<uint8_t> Tail()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return tail_;
    }
    // Called on the worker's thread with the number of closes so far.
    std::function<void(int)> onClose;

private:
    std::mutex mutex_;
    uint64_t total_ = 0;
    std::vector<uint8_t> tail_;
    int closes_ = 0;
};

class FaultHost : public DownloadHost, public ProgressSink, public NoticeSink {
public:
    explicit FaultHost(std::string imagePath) : path_(std::move(imagePath)) { link_.SetObserver(&watch); }
    std::string ImagePath() override { return path_; }
    CImageFile& ImageFile() override { return file_; }
    CSerialLink& Link() override { return link_; }
    ProgressSink& Progress() override { return *this; }
    NoticeSink& Notice() override { return *this; }
    const std::atomic<bool>* CancelFlag() override { return &cancel; }
    void OnFailure(const DownloadFailure& f) override { failure = f; }
    void SetRange(uint32_t maximum) override { range = maximum; }
    void SetPos(uint32_t position) override
    {
        lastPos = position;
        ++positions;
        if (onPos)
            onPos(position);
    }
    void ShowNotice(const std::string& text) override
    {
        notices.push_back(text);
        fileOpenAtNotice = file_.IsOpen();
    }
    void UsePorts(std::vector<std::string> names)
    {
        link_.SetPortSource([names] {
            std::vector<PortInfo> out;
            for (const auto& n : names)
                out.push_back({n, "", ""});
            return out;
        });
    }
    // Runs the download on this thread; the time it took in ms.
    long Run()
    {
        const auto t0 = std::chrono::steady_clock::now();
        DownloadThreadProc(this);
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - t0)
                                     .count());
    }
    std::string Notice1() const { return notices.size() == 1 ? notices[0] : "(" + std::to_string(notices.size()) + " notices)"; }

    WriteWatch watch;
    std::atomic<bool> cancel{false};
    std::function<void(uint32_t)> onPos; // on the worker's thread
    std::vector<std::string> notices;
    DownloadFailure failure;
    uint32_t range = 0;
    std::atomic<uint32_t> lastPos{0xFFFFFFFFu};
    std::atomic<uint64_t> positions{0};
    bool fileOpenAtNotice = false;
    CImageFile& file() { return file_; }
    CSerialLink& link() { return link_; }

private:
    std::string path_;
    CImageFile file_;
    CSerialLink link_;
};

} // namespace faults
