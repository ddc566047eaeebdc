// Test window, recording engine thread and log reading (Windows only).
#ifdef _WIN32
#include "TestWindow.h"

#include <cstdio>
#include <utility>

#include "SysUtils.h"
#include "UnitLog.h"

namespace qov::test {

// ---------------------------------------------------------------------------
// TMessageRecord

void TMessageRecord::Add(UINT msg, WPARAM wParam, LPARAM lParam)
{
    {
        std::lock_guard<std::mutex> lock(FLock);
        FList.push_back(TRecordedMessage{msg, wParam, lParam, GetTickCount()});
    }
    FChanged.notify_all();
}

std::vector<TRecordedMessage> TMessageRecord::All() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FList;
}

std::vector<TRecordedMessage> TMessageRecord::Of(UINT msg) const
{
    std::lock_guard<std::mutex> lock(FLock);
    std::vector<TRecordedMessage> result;
    for (const auto& m : FList)
        if (m.Msg == msg)
            result.push_back(m);
    return result;
}

size_t TMessageRecord::Count(UINT msg) const
{
    return Of(msg).size();
}

bool TMessageRecord::WaitCount(UINT msg, size_t n, DWORD timeoutMs) const
{
    std::unique_lock<std::mutex> lock(FLock);
    const DWORD start = GetTickCount();
    for (;;) {
        size_t have = 0;
        for (const auto& m : FList)
            if (m.Msg == msg)
                ++have;
        if (have >= n)
            return true;
        const DWORD spent = GetTickCount() - start;
        if (spent >= timeoutMs)
            return false;
        FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs - spent));
    }
}

std::optional<TRecordedMessage> TMessageRecord::WaitFor(UINT msg, DWORD timeoutMs) const
{
    if (!WaitCount(msg, 1, timeoutMs))
        return std::nullopt;
    return Of(msg).front();
}

std::optional<TRecordedMessage> TMessageRecord::WaitAny(DWORD timeoutMs) const
{
    std::unique_lock<std::mutex> lock(FLock);
    FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !FList.empty(); });
    if (FList.empty())
        return std::nullopt;
    return FList.front();
}

void TMessageRecord::Clear()
{
    std::lock_guard<std::mutex> lock(FLock);
    FList.clear();
}

// ---------------------------------------------------------------------------
// TTestWindow

namespace {
const char* const kClassName = "QovTestWindow";
}

TTestWindow::TTestWindow(THook hook) : FHook(std::move(hook))
{
    FReady = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    FThread = std::thread([this] { Run(); });
    WaitForSingleObject(FReady, INFINITE);
}

TTestWindow::~TTestWindow()
{
    if (FWindow)
        PostMessageA(FWindow, WM_CLOSE, 0, 0);
    if (FThread.joinable())
        FThread.join();
    CloseHandle(FReady);
}

LRESULT CALLBACK TTestWindow::WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam)
{
    try {
        if (msg == WM_NCCREATE) {
            auto* cs = reinterpret_cast<CREATESTRUCTA*>(lParam);
            SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
        }
        auto* self = reinterpret_cast<TTestWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (self && msg >= WM_USER && msg < 0x8000) {
            if (!self->FHook || !self->FHook(msg, wParam, lParam))
                self->FRecord.Add(msg, wParam, lParam);
            return 0;
        }
        if (msg == WM_CLOSE) {
            DestroyWindow(window);
            return 0;
        }
        if (msg == WM_DESTROY) {
            PostQuitMessage(0);
            return 0;
        }
    } catch (...) {
        return 0;
    }
    return DefWindowProcA(window, msg, wParam, lParam);
}

void TTestWindow::Run()
{
    WNDCLASSA wc{};
    wc.lpfnWndProc = &TTestWindow::WindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kClassName;
    RegisterClassA(&wc);  // fails harmlessly when already registered
    FWindow = CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, this);
    SetEvent(FReady);
    if (!FWindow)
        return;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// ---------------------------------------------------------------------------
// TTestThread

TTestThread::TTestThread()
{
    StartThread();
    // Execute starts with the first posted message; a harmless one starts it
    // now, so that the recorded list holds only what the test posted after.
    Post(WM_NULL);
}

TTestThread::~TTestThread()
{
    EndThread();
}

void TTestThread::Execute()
{
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message != WM_NULL)
            FRecord.Add(msg.message, msg.wParam, msg.lParam);
    }
}

// ---------------------------------------------------------------------------
// Log

std::string TodayLogPath()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return Format("%s\\%04u-%02u-%02u.log", Log().LogFolder().c_str(), now.wYear, now.wMonth, now.wDay);
}

uint64_t LogMark()
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(TodayLogPath().c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string LogSince(uint64_t mark)
{
    std::string result;
    HANDLE file = CreateFileA(TodayLogPath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return result;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(mark);
    if (SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) {
        char buffer[65536];
        DWORD got = 0;
        while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
            result.append(buffer, got);
    }
    CloseHandle(file);
    return result;
}

std::vector<std::string> LogLinesWith(uint64_t mark, const std::string& text)
{
    std::vector<std::string> lines;
    const std::string all = LogSince(mark);
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find("\r\n", start);
        if (end == std::string::npos)
            break;  // a line still being written
        std::string line = all.substr(start, end - start);
        if (line.find(text) != std::string::npos)
            lines.push_back(line);
        start = end + 2;
    }
    return lines;
}

bool WaitLogLines(uint64_t mark, const std::string& text, size_t n, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (LogLinesWith(mark, text).size() >= n)
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(20);
    }
}

} // namespace qov::test
#endif
