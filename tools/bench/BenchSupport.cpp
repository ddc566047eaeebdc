// What the benchmarks share.
#include "BenchSupport.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "SysUtils.h"

namespace qov::bench {

double NowMs()
{
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return double(c.QuadPart) * 1000.0 / double(frequency.QuadPart);
}

DWORD HandleCount()
{
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0)
        return count;
    DWORD flags = 0;
    for (ULONG_PTR h = 4; h < 0x10000; h += 4)
        if (GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags))
            ++count;
    return count;
}

DWORD ThreadCount()
{
    DWORD n = 0;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 te{};
    te.dwSize = sizeof te;
    for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te))
        n += te.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snap);
    return n;
}

SIZE_T PrivateBytes()
{
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION info;
    for (const char* p = nullptr; VirtualQuery(p, &info, sizeof info) == sizeof info;
         p = static_cast<const char*>(info.BaseAddress) + info.RegionSize) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE)
            total += info.RegionSize;
        if (static_cast<const char*>(info.BaseAddress) + info.RegionSize < p)
            break;
    }
    return total;
}

uint64_t FileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA d;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &d))
        return 0;
    return (uint64_t(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
}

std::string ProgramDir()
{
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p(path, n);
    return p.substr(0, p.find_last_of("\\/") + 1);
}

std::string BenchFolder()
{
    const std::string dir = ProgramDir() + "..\\..\\bench";
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
}

bool FindWebServer(int* port, std::string* root)
{
    auto env = [](const char* name) {
        char buffer[2048];
        const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
        return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
    };
    std::string p = env("QOV_HTTP_PORT"), r = env("QOV_HTTP_ROOT");
    if (p.empty() || r.empty()) {
        std::ifstream file(ProgramDir() + "..\\..\\services\\ports.txt");
        std::string line;
        while (std::getline(file, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.rfind("http_port=", 0) == 0)
                p = line.substr(10);
            else if (line.rfind("http_root=", 0) == 0)
                r = line.substr(10);
        }
    }
    if (p.empty() || r.empty())
        return false;
    if (r[0] == '/') {
        r = "Z:" + r;
        std::replace(r.begin(), r.end(), '/', '\\');
    }
    *port = std::atoi(p.c_str());
    *root = r;
    return *port > 0;
}

writer::TSyntheticOptions ThreeHourOptions()
{
    writer::TSyntheticOptions options;  // 1920 x 1080, 3 hours, a key frame every 30 s
    options.TargetBytes = writer::kThreeHourTargetBytes;
    return options;
}

void EnsureThreeHourRecording(const std::string& file)
{
    if (FileSize(file) >= 100000000)
        return;
    std::printf("writing %s ...\n", file.c_str());
    std::fflush(stdout);
    const double start = NowMs();
    const std::string part = file + ".part";
    const auto summary = writer::WriteSyntheticRecording(part, ThreeHourOptions());
    if (!MoveFileExA(part.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING))
        throw Exception("cannot rename " + part);
    std::printf("  %llu bytes, %llu frames, %llu key frames, duration %u ms, in %.1f s\n",
                (unsigned long long)summary.FileBytes, (unsigned long long)summary.Frames,
                (unsigned long long)summary.KeyFrames, summary.Duration, (NowMs() - start) / 1000);
}

// ---------------------------------------------------------------------------
// TArrivals

void TArrivals::Add(UINT msg, WPARAM wParam)
{
    std::lock_guard<std::mutex> l(FLock);
    FList.push_back({msg, wParam, NowMs()});
    FChanged.notify_all();
}

size_t TArrivals::Size()
{
    std::lock_guard<std::mutex> l(FLock);
    return FList.size();
}

std::vector<TArrivals::TArrival> TArrivals::Since(size_t from, UINT msg)
{
    std::lock_guard<std::mutex> l(FLock);
    std::vector<TArrival> result;
    for (size_t i = from; i < FList.size(); ++i)
        if (FList[i].Msg == msg)
            result.push_back(FList[i]);
    return result;
}

bool TArrivals::Wait(UINT msg, size_t& from, double& when, WPARAM& wParam, DWORD timeoutMs)
{
    std::unique_lock<std::mutex> l(FLock);
    const double until = NowMs() + timeoutMs;
    for (;;) {
        for (; from < FList.size(); ++from) {
            if (FList[from].Msg == msg) {
                when = FList[from].When;
                wParam = FList[from].WParam;
                ++from;
                return true;
            }
        }
        const double left = until - NowMs();
        if (left <= 0)
            return false;
        FChanged.wait_for(l, std::chrono::milliseconds(int(left) + 1));
    }
}

bool TArrivals::WaitCount(size_t from, UINT msg, size_t n, DWORD timeoutMs)
{
    const double until = NowMs() + timeoutMs;
    while (Since(from, msg).size() < n) {
        if (NowMs() > until)
            return false;
        Sleep(1);
    }
    return true;
}

double TArrivals::LastOfBurst(size_t from, UINT msg, double quietMs, DWORD timeoutMs)
{
    const double until = NowMs() + timeoutMs;
    for (;;) {
        const auto list = Since(from, msg);
        const double now = NowMs();
        if (!list.empty() && now - list.back().When >= quietMs)
            return list.back().When;
        if (now > until)
            return -1;
        Sleep(2);
    }
}

// ---------------------------------------------------------------------------
// TBenchWindow

TBenchWindow::TBenchWindow()
{
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    FThread = std::thread([this, ready] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = &Proc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "QovBenchWindow";
        RegisterClassA(&wc);
        FWindow = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                                  nullptr);
        SetWindowLongPtrA(FWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        SetEvent(ready);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0)
            DispatchMessageA(&msg);
    });
    WaitForSingleObject(ready, INFINITE);
    CloseHandle(ready);
}

TBenchWindow::~TBenchWindow()
{
    PostMessageA(FWindow, WM_CLOSE, 0, 0);
    FThread.join();
}

LRESULT CALLBACK TBenchWindow::Proc(HWND w, UINT msg, WPARAM wParam, LPARAM lParam)
{
    try {
        auto* self = reinterpret_cast<TBenchWindow*>(GetWindowLongPtrA(w, GWLP_USERDATA));
        if (self && msg >= WM_USER && msg < 0x8000) {
            self->Messages.Add(msg, wParam);
            return 0;
        }
        if (msg == WM_CLOSE) {
            DestroyWindow(w);
            return 0;
        }
        if (msg == WM_DESTROY) {
            PostQuitMessage(0);
            return 0;
        }
    } catch (...) {
        return 0;
    }
    return DefWindowProcA(w, msg, wParam, lParam);
}

} // namespace qov::bench
