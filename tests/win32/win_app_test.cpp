// The Win32 dialog driven from a second thread the way a user would: Start,
// the notices, the progress bar, where it opens, the keys and the close box
// during a download. Also the names the dialog derives from the executable's
// path.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "image/ImagePath.h"
#include "image/ModulePath.h"
#include "app/win32/UpdaterDlg.h"
#include "tests/win32/WinTestKit.h"
#include "app/win32/resource.h"

namespace zq {

namespace {

constexpr unsigned kShiftJis = 932;
constexpr unsigned kWestern = 1252;

TEST(ModulePath, FolderSearchSkipsTrailBytesOfDoubleByteCharacters)
{
    // 0x83 0x5C is one Shift-JIS character whose second byte is '\'.
    const std::string inside = "C:\\\x83\x5C\\ZerquillUpdater.exe";
    EXPECT_EQ(FolderOf(inside, kShiftJis), "C:\\\x83\x5C");
    EXPECT_EQ(BaseNameOf(inside, kShiftJis), "ZerquillUpdater");

    const std::string ending = "C:\\Tools\\\x83\x5CZerquill.exe";
    EXPECT_EQ(FolderOf(ending, kShiftJis), "C:\\Tools");
    EXPECT_EQ(BaseNameOf(ending, kShiftJis), "\x83\x5CZerquill");
    // In a single-byte code page the same byte is a backslash.
    EXPECT_EQ(FolderOf(ending, kWestern), "C:\\Tools\\\x83");
    EXPECT_EQ(BaseNameOf(ending, kWestern), "Zerquill");

    // A lead byte with nothing after it ends the walk without reading on.
    EXPECT_EQ(FolderOf("C:\\x\\\x83", kShiftJis), "C:\\x");
}

TEST(ModulePath, NamesDerivedFromThePath)
{
    EXPECT_EQ(FolderOf("ZerquillUpdater.exe"), "");
    EXPECT_EQ(ImagePathIn(FolderOf("ZerquillUpdater.exe")), "\\DB.bin");
    EXPECT_EQ(ImagePathIn(FolderOf("D:\\Flash\\ZerquillUpdater.exe")), "D:\\Flash\\DB.bin");
    EXPECT_EQ(BaseNameOf("D:\\Flash\\ZerquillUpdater.exe"), "ZerquillUpdater");
    EXPECT_EQ(BaseNameOf("D:\\v1.2\\tool"), "tool");
    EXPECT_EQ(BaseNameOf("D:\\x\\image.tar.gz"), "image.tar");

    const std::string exe = ExecutablePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ(_stricmp(BaseNameOf(exe).c_str(), "win_app_test"), 0) << exe;
    const DWORD attributes = GetFileAttributesA(FolderOf(exe).c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << exe;
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

template <typename F>
bool WaitUntil(F&& condition, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        Sleep(10);
    }
    return true;
}

struct BoxSearch {
    HWND owner;
    HWND found;
};

BOOL CALLBACK FindOwnedBox(HWND hwnd, LPARAM lParam)
{
    auto* search = reinterpret_cast<BoxSearch*>(lParam);
    char cls[32] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    if (strcmp(cls, "#32770") == 0 && GetWindow(hwnd, GW_OWNER) == search->owner && IsWindowVisible(hwnd)) {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

std::string WindowText(HWND hwnd)
{
    char text[256] = {};
    GetWindowTextA(hwnd, text, sizeof text);
    return text;
}

// What the button does when clicked.
void DismissBox(HWND box, int button = IDOK)
{
    SendMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
}

// A key pressed and released in window `to`, through its thread's queue as
// the keyboard's would come.
void PressKey(HWND to, WPARAM key)
{
    PostMessageA(to, WM_KEYDOWN, key, 1);
    PostMessageA(to, WM_KEYUP, key, 1 | (1u << 30) | (1u << 31));
}

const char kStopQuestion[] = "A download is running. Stop it and close?";

// The dialog shown modally on its own thread, as the program's UI thread.
class DialogRun {
public:
    DialogRun(std::string folder, PortSource ports) : dialog_(std::move(folder), std::move(ports))
    {
        thread_ = std::thread([this] {
            result_ = dialog_.DoModal(GetModuleHandleA(nullptr));
            ended_.store(true);
        });
        WaitUntil([this] { return (hwnd_ = FindOurs()) != nullptr || ended_.load(); }, 10000);
        if (hwnd_) {
            start_ = GetDlgItem(hwnd_, IDC_START);
            progress_ = GetDlgItem(hwnd_, IDC_PROGRESS);
        }
    }
    ~DialogRun()
    {
        if (!ended_.load() && hwnd_) {
            // Whatever the test left up, answer it and close.
            for (int i = 0; i < 3 && !ended_.load(); ++i) {
                if (HWND box = Box())
                    PostMessageA(box, WM_COMMAND, GetDlgItem(box, IDYES) ? IDYES : IDOK, 0);
                PostMessageA(hwnd_, WM_CLOSE, 0, 0);
                WaitUntil([this] { return ended_.load(); }, 3000);
            }
        }
        if (ended_.load())
            thread_.join();
        else
            thread_.detach(); // a hung dialog: the test has failed already
    }

    HWND hwnd() const { return hwnd_; }
    HWND start() const { return start_; }
    HWND progress() const { return progress_; }
    bool ended() const { return ended_.load(); }
    bool CancelAsked() { return dialog_.CancelFlag()->load(); }
    INT_PTR result() const { return result_; }

    void PressStart()
    {
        PostMessageA(hwnd_, WM_COMMAND, MAKEWPARAM(IDC_START, BN_CLICKED), reinterpret_cast<LPARAM>(start_));
    }
    void Close() { PostMessageA(hwnd_, WM_COMMAND, IDCANCEL, 0); }
    // The close box, Alt+F4 and the system menu's Close.
    void CloseBox() { PostMessageA(hwnd_, WM_CLOSE, 0, 0); }
    // Where the dialog's thread has the keyboard focus.
    HWND Focus() const
    {
        GUITHREADINFO info{};
        info.cbSize = sizeof(info);
        if (GetGUIThreadInfo(GetWindowThreadProcessId(hwnd_, nullptr), &info) && info.hwndFocus)
            return info.hwndFocus;
        return hwnd_;
    }
    bool WaitEnded(int ms) { return WaitUntil([this] { return ended_.load(); }, ms); }

    HWND Box() const
    {
        BoxSearch search{hwnd_, nullptr};
        EnumWindows(FindOwnedBox, reinterpret_cast<LPARAM>(&search));
        return search.found;
    }
    HWND WaitBox(int ms) const
    {
        HWND box = nullptr;
        WaitUntil([&] { return (box = Box()) != nullptr; }, ms);
        return box;
    }
    static std::string BoxText(HWND box)
    {
        char text[256] = {};
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
        return text;
    }
    int Pos() const { return static_cast<int>(SendMessageA(progress_, PBM_GETPOS, 0, 0)); }
    int RangeMax() const { return static_cast<int>(SendMessageA(progress_, PBM_GETRANGE, FALSE, 0)); }

private:
    static HWND FindOurs()
    {
        HWND h = nullptr;
        while ((h = FindWindowExA(nullptr, h, nullptr, "ZerquillAv1.00")) != nullptr) {
            DWORD pid = 0;
            GetWindowThreadProcessId(h, &pid);
            if (pid == GetCurrentProcessId() && IsWindowVisible(h))
                return h;
        }
        return nullptr;
    }

    CUpdaterDlg dialog_;
    std::thread thread_;
    std::atomic<bool> ended_{false};
    INT_PTR result_ = 0;
    HWND hwnd_ = nullptr;
    HWND start_ = nullptr;
    HWND progress_ = nullptr;
};

// Discovery that waits until the test lets it go, and counts its calls.
class HeldPorts {
public:
    PortSource Source()
    {
        return [this] {
            std::unique_lock<std::mutex> lock(mutex_);
            ++calls_;
            changed_.notify_all();
            changed_.wait(lock, [this] { return released_; });
            return std::vector<PortInfo>();
        };
    }
    bool WaitCalled(int ms)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return calls_ > 0; });
    }
    void Release()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    int Calls()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    ~HeldPorts() { Release(); }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int calls_ = 0;
    bool released_ = false;
};

TEST(WinDialog, TemplateIconsAndPriority)
{
    TempFolder dir;
    DialogRun run(dir.path(), PortSource());
    ASSERT_NE(run.hwnd(), nullptr);
    EXPECT_EQ(WindowText(run.hwnd()), "ZerquillAv1.00");
    EXPECT_EQ(WindowText(run.start()), "Start");
    EXPECT_TRUE(IsWindowEnabled(run.start()));
    char cls[64] = {};
    GetClassNameA(run.progress(), cls, sizeof cls);
    EXPECT_EQ(_stricmp(cls, PROGRESS_CLASSA), 0) << cls;
    EXPECT_EQ(run.RangeMax(), 100); // the control's own range until a download sets one
    EXPECT_TRUE(GetWindowLongA(run.hwnd(), GWL_EXSTYLE) & WS_EX_APPWINDOW);

    // The controls sit where the template puts them, in dialog units.
    RECT units = {65, 17, 65 + 71, 17 + 16};
    ASSERT_TRUE(MapDialogRect(run.hwnd(), &units));
    RECT button;
    GetWindowRect(run.start(), &button);
    MapWindowPoints(nullptr, run.hwnd(), reinterpret_cast<POINT*>(&button), 2);
    EXPECT_EQ(button.left, units.left);
    EXPECT_EQ(button.top, units.top);
    EXPECT_EQ(button.right, units.right);
    EXPECT_EQ(button.bottom, units.bottom);

    auto big = reinterpret_cast<HICON>(SendMessageA(run.hwnd(), WM_GETICON, ICON_BIG, 0));
    auto small = reinterpret_cast<HICON>(SendMessageA(run.hwnd(), WM_GETICON, ICON_SMALL, 0));
    ASSERT_NE(big, nullptr);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageA(run.hwnd(), WM_QUERYDRAGICON, 0, 0)), big);
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(small, &info));
    BITMAP bitmap{};
    GetObjectA(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
    EXPECT_EQ(bitmap.bmWidth, GetSystemMetrics(SM_CXSMICON));
    if (info.hbmColor)
        DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);

    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(HIGH_PRIORITY_CLASS));

    run.Close();
    ASSERT_TRUE(run.WaitEnded(5000));
    EXPECT_EQ(run.result(), IDCANCEL);
}

TEST(WinDialog, OpensCentredOnTheWorkArea)
{
    TempFolder dir;
    DialogRun run(dir.path(), PortSource());
    ASSERT_NE(run.hwnd(), nullptr);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    ASSERT_TRUE(GetMonitorInfoA(MonitorFromWindow(run.hwnd(), MONITOR_DEFAULTTONEAREST), &monitor));
    RECT window;
    ASSERT_TRUE(GetWindowRect(run.hwnd(), &window));
    const RECT& area = monitor.rcWork;
    ASSERT_GT(area.right - area.left, window.right - window.left);
    ASSERT_GT(area.bottom - area.top, window.bottom - window.top);
    // Twice the centres, so that a window an odd number of pixels narrower
    // than the area still counts as centred.
    EXPECT_LE(std::abs(window.left + window.right - area.left - area.right), 4)
        << window.left << "," << window.top << " in " << area.left << "," << area.top << "-" << area.right << ","
        << area.bottom;
    EXPECT_LE(std::abs(window.top + window.bottom - area.top - area.bottom), 4);

    // With no download running, Escape closes it as it always did.
    PressKey(run.Focus(), VK_ESCAPE);
    ASSERT_TRUE(run.WaitEnded(5000));
    EXPECT_EQ(run.result(), IDCANCEL);
}

TEST(WinDialog, StartWithoutImageShowsFileOpenFailedWithTheBarAtZero)
{
    TempFolder dir;
    DialogRun run(dir.path(), PortSource());
    ASSERT_NE(run.hwnd(), nullptr);
    // A full bar from an earlier download is reset by Start itself: the
    // worker does not touch the bar when the file does not open.
    SendMessageA(run.progress(), PBM_SETPOS, 100, 0);

    run.PressStart();
    HWND box = run.WaitBox(10000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(DialogRun::BoxText(box), "File Open Failed");
    EXPECT_EQ(WindowText(box), "win_app_test");
    EXPECT_EQ(run.Pos(), 0);
    // Owned and modal: the dialog cannot be used until it is answered, and
    // Start stays off while the worker is still there.
    EXPECT_FALSE(IsWindowEnabled(run.hwnd()));
    EXPECT_FALSE(IsWindowEnabled(run.start()));

    DismissBox(box);
    EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(run.start()) != FALSE; }, 5000));
    EXPECT_TRUE(IsWindowEnabled(run.hwnd()));
    EXPECT_EQ(run.Box(), nullptr);

    // And a second download runs the same way.
    run.PressStart();
    box = run.WaitBox(10000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(DialogRun::BoxText(box), "File Open Failed");
    DismissBox(box);
    EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(run.start()) != FALSE; }, 5000));
}

TEST(WinDialog, ImageWithNoPortsFailsAfterSettingTheRange)
{
    TempFolder dir;
    const uint32_t blocks = 1030;
    ASSERT_TRUE(WriteBytes(dir.file("DB.bin"), MakeImage(0x10000 + 128 * blocks + 9, 0)));
    DialogRun run(dir.path(), [] { return std::vector<PortInfo>(); });
    ASSERT_NE(run.hwnd(), nullptr);

    run.PressStart();
    HWND box = run.WaitBox(10000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(DialogRun::BoxText(box), "Fail Download!");
    EXPECT_EQ(run.RangeMax(), static_cast<int>(blocks + blocks / 512 + 40));
    EXPECT_EQ(run.Pos(), 0);
    DismissBox(box);
    EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(run.start()) != FALSE; }, 5000));
}

TEST(WinDialog, CloseDuringADownloadKeepsTheWindowServingUntilTheWorkerEnds)
{
    TempFolder dir;
    ASSERT_TRUE(WriteBytes(dir.file("DB.bin"), MakeImage(0x10000 + 128 * 4, 0)));
    HeldPorts ports;
    DialogRun run(dir.path(), ports.Source());
    // On a failed check the worker is let go before the dialog is torn down.
    struct Releaser {
        HeldPorts& ports;
        ~Releaser() { ports.Release(); }
    } releaser{ports};
    ASSERT_NE(run.hwnd(), nullptr);

    run.PressStart();
    ASSERT_TRUE(ports.WaitCalled(10000));
    EXPECT_FALSE(IsWindowEnabled(run.start()));
    // A second Start while the worker runs starts nothing.
    run.PressStart();
    Sleep(200);
    EXPECT_EQ(ports.Calls(), 1);

    // Escape and Enter, as keys and as the commands they become, leave the
    // download alone and ask nothing.
    PressKey(run.Focus(), VK_ESCAPE);
    PressKey(run.Focus(), VK_RETURN);
    PostMessageA(run.hwnd(), WM_COMMAND, IDCANCEL, 0);
    PostMessageA(run.hwnd(), WM_COMMAND, IDOK, 0);
    Sleep(300);
    EXPECT_FALSE(run.CancelAsked());
    EXPECT_FALSE(run.ended());
    EXPECT_EQ(run.Box(), nullptr);

    // The close box asks, owned by the dialog; Enter there means No, and No
    // leaves the download running.
    run.CloseBox();
    HWND question = run.WaitBox(5000);
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(DialogRun::BoxText(question), kStopQuestion);
    EXPECT_EQ(WindowText(question), "win_app_test");
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(question, IDYES)));
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(question, IDNO)));
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(question, IDOK)));
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(question, IDCANCEL)));
    const HICON shown = reinterpret_cast<HICON>(SendDlgItemMessageA(question, 0x0440, STM_GETICON, 0, 0));
    EXPECT_EQ(shown, LoadIconA(nullptr, IDI_QUESTION));
    EXPECT_TRUE(SendMessageA(GetDlgItem(question, IDNO), WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON);
    EXPECT_EQ(run.Focus(), GetDlgItem(question, IDNO));
    PressKey(question, VK_RETURN);
    EXPECT_TRUE(WaitUntil([&] { return run.Box() == nullptr; }, 5000));
    Sleep(300);
    EXPECT_FALSE(run.CancelAsked());
    EXPECT_FALSE(run.ended());

    // Yes stops it, and the window waits for the worker.
    run.CloseBox();
    question = run.WaitBox(5000);
    ASSERT_NE(question, nullptr);
    DismissBox(question, IDYES);
    EXPECT_TRUE(WaitUntil([&] { return run.CancelAsked(); }, 5000));
    run.CloseBox(); // already stopping: asks nothing more
    Sleep(300);
    EXPECT_EQ(run.Box(), nullptr);
    // Still there and still answering: the UI thread does not wait on the worker.
    EXPECT_FALSE(run.ended());
    DWORD_PTR answer = 0;
    EXPECT_NE(SendMessageTimeoutA(run.hwnd(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &answer), 0);
    EXPECT_EQ(run.Pos(), 5); // the worker's first step, applied by that same thread

    ports.Release();
    // The cancelled worker shows no notice to a window that is closing.
    ASSERT_TRUE(run.WaitEnded(10000));
    EXPECT_EQ(run.result(), IDCANCEL);
    EXPECT_EQ(ports.Calls(), 1);
}

} // namespace

}  // namespace zq
