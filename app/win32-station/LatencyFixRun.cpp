#include "app/win32-station/LatencyFixRun.h"

#include <objbase.h>
#include <shellapi.h>

#include "image/ModulePath.h"

namespace zq {

namespace {

std::wstring Wide(const std::string& text)
{
    const int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length - 1));
    return wide;
}

std::string SystemWords(DWORD error)
{
    char text[256] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                        0, text, sizeof text, nullptr);
    std::string words(text, length);
    while (!words.empty() && (words.back() == '\r' || words.back() == '\n' || words.back() == '.'))
        words.pop_back();
    return words.empty() ? "error " + std::to_string(error) : words;
}

// zerquill-flash.exe beside this exe; empty when the exe's path is not known.
std::string ProgramBeside()
{
    const std::string folder = FolderOf(ExecutablePath());
    return folder.empty() ? std::string() : folder + "\\zerquill-flash.exe";
}

// On a thread of its own: ShellExecuteEx waits there for the operator's
// answer to the prompt, and the thread then waits for the program.
FixOutcome RunElevated(const LatencyFix& fix)
{
    const std::string program = ProgramBeside();
    if (program.empty())
        return FixOutcome{FixEnd::NotStarted, 0, "the station's own folder is not known"};
    const std::wstring file = Wide(program);
    const std::wstring args = Wide(fix.ArgLine());
    // The shell may hand the prompt to COM objects of its own.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    info.lpVerb = L"runas";
    info.lpFile = file.c_str();
    info.lpParameters = args.c_str();
    info.nShow = SW_HIDE; // a console program: no window for it
    const BOOL started = ShellExecuteExW(&info);
    const DWORD error = started ? 0 : GetLastError();
    if (SUCCEEDED(com))
        CoUninitialize();
    if (!started)
        return error == ERROR_CANCELLED ? FixOutcome{FixEnd::Declined, 0, {}}
                                        : FixOutcome{FixEnd::NotStarted, 0, program + ": " + SystemWords(error)};
    if (!info.hProcess)
        return FixOutcome{FixEnd::NotStarted, 0, program + ": no process to wait for"};
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD status = 0;
    const BOOL known = GetExitCodeProcess(info.hProcess, &status);
    CloseHandle(info.hProcess);
    if (!known)
        return FixOutcome{FixEnd::NotStarted, 0, "its exit status could not be read"};
    return FixOutcome{FixEnd::Exited, static_cast<int>(status), {}};
}

} // namespace

CLatencyFixRuns::~CLatencyFixRuns()
{
    for (const auto& run : runs_)
        if (run->thread.joinable())
            run->thread.join();
}

void CLatencyFixRuns::Start(const LatencyFix& fix)
{
    auto run = std::make_unique<Run>();
    run->port = fix.port;
    Run& started = *run;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        runs_.push_back(std::move(run));
    }
    started.thread = std::thread([this, &started, fix] { Finish(started, RunElevated(fix)); });
}

void CLatencyFixRuns::Finish(Run& run, const FixOutcome& outcome)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        run.outcome = outcome;
        run.done = true;
    }
    PostMessageA(notify_, message_, 0, 0);
}

std::vector<std::pair<std::string, FixOutcome>> CLatencyFixRuns::Ended()
{
    std::vector<std::unique_ptr<Run>> ended;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = runs_.begin(); it != runs_.end();) {
            if ((*it)->done) {
                ended.push_back(std::move(*it));
                it = runs_.erase(it);
            } else {
                ++it;
            }
        }
    }
    std::vector<std::pair<std::string, FixOutcome>> out;
    for (const auto& run : ended) {
        run->thread.join(); // it has posted its message: it ends now
        out.emplace_back(run->port, run->outcome);
    }
    return out;
}

}  // namespace zq
