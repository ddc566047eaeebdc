// Test doubles for the engine's threads (Windows only):
//  - TTestWindow: a window on a thread of its own that records every engine
//    message posted to it (what the control window would receive);
//  - TTestThread: an engine thread whose queue is only recorded (a fake play
//    thread for WM_ENGINE_SHOW);
//  - reading back the daily log.
//
//   TTestWindow window;
//   TTestThread player;
//   PlaybackContext ctx; ctx.Window = window.Handle(); ctx.Player = &player; ...
//   reader.Open(path);
//   auto opened = window.Messages().WaitFor(WM_ENGINE_OPENED, 5000);
//   auto show = player.Messages().WaitFor(WM_ENGINE_SHOW, 5000);
#pragma once
#ifdef _WIN32

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "UnitQovCore.h"

namespace qov::test {

struct TRecordedMessage {
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    DWORD Tick = 0;  // GetTickCount when it arrived
};

// A thread-safe list of received messages that tests can wait on.
class TMessageRecord {
public:
    void Add(UINT msg, WPARAM wParam, LPARAM lParam);
    std::vector<TRecordedMessage> All() const;
    // The messages with this number, in arrival order.
    std::vector<TRecordedMessage> Of(UINT msg) const;
    size_t Count(UINT msg) const;
    // Waits until at least n messages with this number have arrived; true
    // when they have within timeoutMs.
    bool WaitCount(UINT msg, size_t n, DWORD timeoutMs) const;
    // The first message with this number, waiting up to timeoutMs for it.
    std::optional<TRecordedMessage> WaitFor(UINT msg, DWORD timeoutMs) const;
    // The first message with any number from WM_USER up, waiting for one.
    std::optional<TRecordedMessage> WaitAny(DWORD timeoutMs) const;
    void Clear();

private:
    mutable std::mutex FLock;
    mutable std::condition_variable FChanged;
    std::vector<TRecordedMessage> FList;
};

// A message-only window on its own thread; records every message from
// WM_USER up.
class TTestWindow {
public:
    // Sees every message from WM_USER up on the window's thread before it is
    // recorded; true when it served the message and it is not to be recorded.
    using THook = std::function<bool(UINT msg, WPARAM wParam, LPARAM lParam)>;

    explicit TTestWindow(THook hook = nullptr);
    ~TTestWindow();
    TTestWindow(const TTestWindow&) = delete;
    TTestWindow& operator=(const TTestWindow&) = delete;

    HWND Handle() const { return FWindow; }
    TMessageRecord& Messages() { return FRecord; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
    void Run();

    THook FHook;
    TMessageRecord FRecord;
    HWND FWindow = nullptr;
    std::thread FThread;
    HANDLE FReady = nullptr;
};

// An engine thread that only records what is posted to its queue.
class TTestThread : public TThread {
public:
    TTestThread();
    ~TTestThread() override;
    TMessageRecord& Messages() { return FRecord; }

protected:
    void Execute() override;

private:
    TMessageRecord FRecord;
};

// The process-wide log's file for today (the test program's folder\Log).
std::string TodayLogPath();
// Size of today's log file now (0 when it does not exist yet).
uint64_t LogMark();
// Bytes appended to today's log file since the mark.
std::string LogSince(uint64_t mark);
// Lines (without CR LF) appended since the mark that contain text.
std::vector<std::string> LogLinesWith(uint64_t mark, const std::string& text);
// Waits until at least n lines containing text were appended since the mark.
bool WaitLogLines(uint64_t mark, const std::string& text, size_t n, DWORD timeoutMs);

// Dispatches this thread's messages until done() or timeoutMs passed;
// returns done(). (Inline: the benchmarks use it without the test support.)
inline bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (done())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return done();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

// Dispatches this thread's messages for ms.
inline void PumpFor(DWORD ms)
{
    PumpUntil([] { return false; }, ms);
}

} // namespace qov::test

#endif
