// Test DLL with its own instance of the exception-reporting library that
// reports an exception while its initialisation runs (inside DllMain, under
// the loader's lock): the report must run on the loading thread, since a
// worker thread could not start before DllMain returns.
#include <windows.h>

#include <memory>

#include "EManager.h"
#include "EEvents.h"
#include "SysUtils.h"

using namespace qov::exceptions;

namespace {

int Result = -1;
int Notified = 0;
DWORD NotifyThread = 0;

void ReportDuringInitialisation(HMODULE self)
{
    TLibraryState& state = LibraryState();
    state.Active = true;
    state.HandlingEnabled = true;
    state.InInitialisation = true;
    char file[MAX_PATH] = {};
    GetModuleFileNameA(self, file, MAX_PATH);
    SetModuleOptions(std::make_unique<TZephraModuleOptionsEx>(file, false));
    CurrentZephraLogOptions()->SetBehaviourFlags(0);
    RegisterEventHandlers(TZephraEventHandlers{.OnExceptionNotify = [](const TZephraExceptionRecord&, bool&) {
        ++Notified;
        NotifyThread = GetCurrentThreadId();
    }});
    TExceptionRef exception;
    try {
        throw qov::Exception("failed in initialisation");
    } catch (...) {
        exception = std::make_shared<const TExceptionInfo>(TExceptionInfo::Current());
    }
    Result = RunExceptionHandler(exception, reinterpret_cast<const void*>(&ReportDuringInitialisation), false, 0,
                                 self, rkThread, nullptr, 0, 0);
    state.InInitialisation = false;
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*)
{
    if (reason == DLL_PROCESS_ATTACH) {
        try {
            ReportDuringInitialisation(instance);
        } catch (...) {
        }
    }
    return TRUE;
}

// The report's result, how often the notify event ran and on which thread.
extern "C" __declspec(dllexport) void __cdecl ManagerInitReport(int* result, int* notified, DWORD* thread)
{
    *result = Result;
    *notified = Notified;
    *thread = NotifyThread;
}
