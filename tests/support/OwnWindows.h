// Top-level windows of one process (Windows only). Test programs run side by
// side on one display, and another may show a window of the same class and
// caption at the same moment: a test looks only at its own process's.
#pragma once
#ifdef _WIN32

#include <windows.h>

namespace qov::test {

// The top-level window of this class (and caption, when one is given) that
// process pid made, a visible one only when asked; nullptr when it has none.
inline HWND FindProcessWindow(DWORD pid, const char* className, const char* caption = nullptr,
                              bool visibleOnly = false)
{
    for (HWND window = FindWindowExA(nullptr, nullptr, className, caption); window;
         window = FindWindowExA(nullptr, window, className, caption)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == pid && (!visibleOnly || IsWindowVisible(window)))
            return window;
    }
    return nullptr;
}

// The top-level window of this class (and caption) that this process made.
inline HWND FindOwnWindow(const char* className, const char* caption = nullptr, bool visibleOnly = false)
{
    return FindProcessWindow(GetCurrentProcessId(), className, caption, visibleOnly);
}

} // namespace qov::test

#endif
