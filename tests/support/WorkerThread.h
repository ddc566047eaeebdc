// Worker threads of Windows tests: a body run on a thread made with
// CreateThread, and the exit code of a thread once it has ended. Header only
// (Windows, under Wine).
#pragma once
#ifdef _WIN32

#include <windows.h>

namespace qovtest {

// Waits for the thread's end (at most timeoutMs) and closes the handle; its
// exit code (STILL_ACTIVE when it did not end).
inline DWORD ExitCodeOf(HANDLE thread, DWORD timeoutMs = 30000)
{
    WaitForSingleObject(thread, timeoutMs);
    DWORD code = STILL_ACTIVE;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code;
}

// The thread routine that runs the body given as its parameter.
inline DWORD WINAPI BodyRoutine(void* body)
{
    reinterpret_cast<void (*)()>(body)();
    return 0;
}

// Runs body on a thread made with CreateThread; its exit code, and its id in
// threadId.
inline DWORD RunWorkerThread(void (*body)(), DWORD* threadId = nullptr)
{
    HANDLE thread = CreateThread(nullptr, 0, BodyRoutine, reinterpret_cast<void*>(body), 0, threadId);
    return thread ? ExitCodeOf(thread) : STILL_ACTIVE;
}

} // namespace qovtest

#endif
