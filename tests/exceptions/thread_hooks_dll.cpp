// A library module with its own instance of the exception library that
// defers to the program: its thread hooks pass every record to the program's
// thread exports.
#include <windows.h>

#include "EManager.h"
#include "EThreadHooks.h"

using namespace qov::exceptions;

namespace {

HMODULE ThisModule()
{
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ThisModule), &module);
    return module;
}

DWORD WINAPI WaitThenExit(void* release)
{
    WaitForSingleObject(static_cast<HANDLE>(release), INFINITE);
    ExitThread(7);
}

} // namespace

extern "C" __declspec(dllexport) void ThreadDllDeferTo(HMODULE main)
{
    TLibraryState& state = LibraryState();
    state.Active = true;
    state.DefersToMain = true;
    state.MainModule = main;
    StartThreadTracking();
    InstallThreadHooks(ThisModule());
}

// A thread made through this module's imports, suspended; it ends with
// ExitThread(7) once release is set.
extern "C" __declspec(dllexport) HANDLE ThreadDllCreate(HANDLE release, DWORD* id)
{
    return CreateThread(nullptr, 0, WaitThenExit, release, CREATE_SUSPENDED, id);
}

extern "C" __declspec(dllexport) DWORD ThreadDllResume(HANDLE thread)
{
    return ResumeThread(thread);
}

// True when this module's own list has the thread.
extern "C" __declspec(dllexport) BOOL ThreadDllLists(DWORD id)
{
    TZephraThreadsList* list = ProcessThreads();
    if (!list)
        return FALSE;
    list->BeginRead();
    const bool listed = list->FindByThreadId(id) >= 0;
    list->EndRead();
    return listed;
}

// Hooks this module's imports and the runtime's again (after the program
// gave the runtime's back), or only gives them back.
extern "C" __declspec(dllexport) void ThreadDllRehook(BOOL install)
{
    RemoveThreadHooks();
    if (install)
        InstallThreadHooks(ThisModule());
}
