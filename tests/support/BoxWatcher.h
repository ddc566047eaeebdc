// Message boxes in tests.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "OwnWindows.h"

namespace qovtest {

// Watches for a message box of this process with the caption; answers it
// with the button and keeps its text.
class TBoxWatcher {
public:
    TBoxWatcher(const char* caption, int button, DWORD timeoutMs)
        : FThread([this, caption, button, timeoutMs] { Watch(caption, button, timeoutMs); })
    {
    }
    ~TBoxWatcher() { Join(); }
    void Join()
    {
        if (FThread.joinable())
            FThread.join();
    }
    bool Seen() const { return FSeen; }
    const std::string& Text() const { return FText; }

private:
    void Watch(const char* caption, int button, DWORD timeoutMs)
    {
        const DWORD start = GetTickCount();
        while (GetTickCount() - start < timeoutMs) {
            HWND box = qov::test::FindOwnWindow("#32770", caption);
            DWORD process = 0;
            if (box)
                GetWindowThreadProcessId(box, &process);
            if (box && process == GetCurrentProcessId()) {
                char text[1024] = {};
                GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
                FText = text;
                FSeen = true;
                PostMessageA(box, WM_COMMAND, button, 0);
                return;
            }
            Sleep(20);
        }
    }

    std::atomic<bool> FSeen{false};
    std::string FText;
    std::thread FThread;
};

} // namespace qovtest
