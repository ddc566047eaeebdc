// bench_app: the desktop program QovPlayer.exe, in the same run:
//   - from starting it with the built-in sample on its command line to the
//     sample's first frame on the screen, against the test host's Open of
//     the same file to its first frame on the screen (goal: ratio at most 1.3);
//   - processor time of the program per second of wall time while the
//     recording is paused (goal: under 0.01).
//
// Usage (under Wine, from the build's bin folder, QovPlayer.ocx registered):
// bench_app.exe [runs]
#include <windows.h>
#include <ole2.h>

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchArch.h"
#include "BenchSupport.h"
#include "ConsoleText.h"
#include "OleHost.h"
#include "QovPlayerTLB.h"
#include "SampleRecording.h"

using qov::bench::NowMs;

namespace {

constexpr UINT cmPause = 202;  // the main window's Control menu, Pause

double Median(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Whether the screen pixel at the centre of window has the colour the
// sample's first frame has at its centre (the picture is centred however it
// is scaled).
bool ShowsFirstFrame(HWND window, uint32_t rgb)
{
    RECT r;
    if (!window || !GetWindowRect(window, &r))
        return false;
    HDC dc = GetDC(nullptr);
    COLORREF c = GetPixel(dc, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
    ReleaseDC(nullptr, dc);
    auto within = [](int a, int b) { return std::abs(a - b) <= 24; };
    return c != CLR_INVALID && within(GetRValue(c), int(rgb >> 16 & 0xFF)) &&
           within(GetGValue(c), int(rgb >> 8 & 0xFF)) && within(GetBValue(c), int(rgb & 0xFF));
}

struct TFind {
    DWORD Process;
    HWND Found;
};

BOOL CALLBACK FindMain(HWND w, LPARAM p)
{
    auto* f = reinterpret_cast<TFind*>(p);
    DWORD process = 0;
    GetWindowThreadProcessId(w, &process);
    char cls[32] = "";
    GetClassNameA(w, cls, sizeof cls);
    if (process == f->Process && IsWindowVisible(w) && !strcmp(cls, "TfrmMain"))
        f->Found = w;
    return TRUE;
}

struct TProgram {
    PROCESS_INFORMATION Info{};
    HWND Main = nullptr;
    std::string Marker;  // its recording's name, which no other program has
    double WindowMs = -1;  // from the start to the main window on the screen

    explicit TProgram(const std::string& file) : Marker(file)
    {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        std::string line = "QovPlayer.exe " + file;
        if (!CreateProcessA("QovPlayer.exe", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &Info))
            throw std::runtime_error("cannot start QovPlayer.exe");
    }
    ~TProgram()
    {
        if (Main)
            PostMessageA(Main, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(Info.hProcess, 10000) != WAIT_OBJECT_0)
            TerminateProcess(Info.hProcess, 99);
        CloseHandle(Info.hThread);
        CloseHandle(Info.hProcess);
    }
    // The control's window: the main window's child that is not the panel.
    HWND Control()
    {
        if (!Main) {
            TFind find{Info.dwProcessId, nullptr};
            EnumWindows(FindMain, reinterpret_cast<LPARAM>(&find));
            Main = find.Found;
        }
        for (HWND child = Main ? GetWindow(Main, GW_CHILD) : nullptr; child; child = GetWindow(child, GW_HWNDNEXT)) {
            char cls[32] = "";
            GetClassNameA(child, cls, sizeof cls);
            if (strcmp(cls, "TPanel") != 0)
                return child;
        }
        return nullptr;
    }
    // Milliseconds from now until the first frame is on screen; -1 when not in 20 s.
    double UntilFirstFrame(double start, uint32_t rgb)
    {
        while (NowMs() - start < 20000) {
            HWND control = Control();
            if (control && WindowMs < 0)
                WindowMs = NowMs() - start;
            if (ShowsFirstFrame(control, rgb))
                return NowMs() - start;
            Sleep(1);
        }
        return -1;
    }
    // Processor milliseconds of the program. Wine keeps no times of other
    // processes, so they are read from the system's own process table
    // (/proc, drive Z:), finding the program by its unique command line.
    double ProcessorMs()
    {
        WIN32_FIND_DATAA entry;
        HANDLE find = FindFirstFileA("Z:\\proc\\*", &entry);
        if (find == INVALID_HANDLE_VALUE)
            return -1;
        double ms = -1;
        do {
            if (!isdigit(static_cast<unsigned char>(entry.cFileName[0])))
                continue;
            const std::string dir = std::string("Z:\\proc\\") + entry.cFileName + "\\";
            const std::string line = ReadAll(dir + "cmdline");
            if (line.find("QovPlayer.exe") == std::string::npos || line.find(Marker) == std::string::npos)
                continue;
            // Fields 14 and 15 (user and system time in 1/100 s) follow the
            // parenthesised name.
            const std::string stat = ReadAll(dir + "stat");
            const size_t close = stat.rfind(')');
            if (close == std::string::npos)
                continue;
            unsigned long long user = 0, system = 0;
            if (std::sscanf(stat.c_str() + close + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user,
                            &system) == 2)
                ms = double(user + system) * 10.0;
        } while (ms < 0 && FindNextFileA(find, &entry));
        FindClose(find);
        return ms;
    }
    static std::string ReadAll(const std::string& path)
    {
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return {};
        std::string text;
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
            text.append(chunk, got);
        CloseHandle(file);
        for (char& c : text)
            if (c == 0)
                c = ' ';
        return text;
    }
    // Processor time per second of wall time over seconds.
    double Load(int seconds)
    {
        const double cpu = ProcessorMs(), wall = NowMs();
        Sleep(DWORD(seconds) * 1000);
        const double used = ProcessorMs();
        if (cpu < 0 || used < 0)
            return -1;
        return (used - cpu) / (NowMs() - wall);
    }
};

// The test host: the control in a window of this thread, Open to the first
// frame on screen.
double HostFirstFrame(const std::string& file, uint32_t rgb, double* createMs)
{
    HWND window = CreateWindowExA(WS_EX_TOPMOST, "STATIC", "bench", WS_POPUP | WS_VISIBLE, 0, 0, 820, 620, nullptr,
                                  nullptr, nullptr, nullptr);
    double took = -1;
    {
        qov::host::TOleHost host(window);
        IQovPlayer* player = nullptr;
        const double made = NowMs();
        if (FAILED(host.Create(CLSID_QovPlayerCtrl)) || FAILED(host.Activate(RECT{0, 0, 800, 600}, false)) ||
            FAILED(host.Control()->QueryInterface(IID_IQovPlayer, reinterpret_cast<void**>(&player))))
            throw std::runtime_error("cannot create the control (is QovPlayer.ocx registered?)");
        *createMs = NowMs() - made;
        std::wstring locator(file.begin(), file.end());
        BSTR b = SysAllocString(locator.c_str());
        const double start = NowMs();
        if (SUCCEEDED(player->Open(b))) {
            while (NowMs() - start < 20000) {
                MSG msg;
                while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
                    DispatchMessageA(&msg);
                if (ShowsFirstFrame(host.ControlWindow(), rgb)) {
                    took = NowMs() - start;
                    break;
                }
                Sleep(1);
            }
        }
        SysFreeString(b);
        player->Close();
        player->Release();
        host.Destroy();
    }
    DestroyWindow(window);
    return took;
}

// Start to end of a program that does nothing (this one with --noop): what
// starting any program costs here.
double EmptyProgramMs()
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    char line[] = "bench_app.exe --noop";
    const double start = NowMs();
    if (!CreateProcessA("bench_app.exe", line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return -1;
    WaitForSingleObject(info.hProcess, 20000);
    const double took = NowMs() - start;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return took;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && !strcmp(argv[1], "--noop"))
        return 0;
    qov::bench::PrintArchitecture("bench_app");
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    try {
        OleInitialize(nullptr);
        const auto sample = qov::writer::BuildSampleRecording();
        const std::string file =
            qov::bench::BenchFolder() + "\\app_sample_" + std::to_string(GetCurrentProcessId()) + ".qov";
        sample.Save(file);
        const auto& first = sample.Frames().front().Picture;
        const uint32_t rgb = first.At(first.Width() / 2, first.Height() / 2);

        std::vector<double> program, window, host, create, empty;
        for (int i = 0; i < runs; ++i) {
            {
                const double start = NowMs();
                TProgram p(file);
                program.push_back(p.UntilFirstFrame(start, rgb));
                window.push_back(p.WindowMs);
            }
            double created = -1;
            host.push_back(HostFirstFrame(file, rgb, &created));
            create.push_back(created);
            empty.push_back(EmptyProgramMs());
        }
        const double a = Median(program), b = Median(host);
        std::printf("command line to first frame on screen: %.1f ms (median of %d)\n", a, runs);
        std::printf("  of which command line to main window shown: %.1f ms\n", Median(window));
        std::printf("test host Open to first frame on screen: %.1f ms (median of %d)\n", b, runs);
        std::printf("test host creating and activating the control: %.1f ms\n", Median(create));
        std::printf("start to end of an empty program: %.1f ms (median of %d)\n", Median(empty), runs);
        std::printf("ratio program/host: %.2f (goal <= 1.3)\n", b > 0 ? a / b : -1.0);

        {
            TProgram p(file);
            if (p.UntilFirstFrame(NowMs(), rgb) < 0)
                throw std::runtime_error("the program shows no frame");
            std::printf("processor time per wall second, playing: %.4f\n", p.Load(3));
            PostMessageA(p.Main, WM_COMMAND, cmPause, 0);
            Sleep(1000);
            // Paused: the time label stands still.
            char before[64] = "", after[64] = "";
            HWND label = FindWindowExA(FindWindowExA(p.Main, nullptr, "TPanel", nullptr), nullptr, "Static", nullptr);
            GetWindowTextA(label, before, sizeof before);
            Sleep(1500);
            GetWindowTextA(label, after, sizeof after);
            if (strcmp(before, after) != 0 || !before[0])
                throw std::runtime_error("the program did not pause");
            std::printf("processor time per wall second, paused recording: %.4f (goal < 0.01)\n", p.Load(20));
        }
        OleUninitialize();
    } catch (const std::exception& e) {
        std::printf("bench_app failed: %s\n", qov::tools::Utf8FromGbk(e.what()).c_str());
        return 1;
    }
    return 0;
}
