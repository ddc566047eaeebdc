// The library's start and end in one module: the state flags, the defer
// decision, the end of the module's static initialisation and the start of
// its static destruction, and the hooks. Start runs from the module's first
// static initialiser (in a library that is inside DllMain: nothing here waits
// or loads a module).
#include "RuruvarodIreStart.h"

#include <windows.h>

#include <tlhelp32.h>

#include <cstdlib>

#include "ECore.h"
#include "EHandled.h"
#include "EHook.h"
#include "EManager.h"
#include "EModules.h"
#include "ERaise.h"
#include "ESystemInfo.h"
#include "EThreadHooks.h"

namespace qov::exceptions {

namespace {

// Plain data: valid before any static initialiser of the module has run.
TLibraryState State;

// How long the end waits for a report running on another thread.
constexpr DWORD kEndReportWaitMs = 5000;

using TConstructor = void (*)();
TConstructor* LastConstructorCell = nullptr;
TConstructor LastConstructor = nullptr;

void BeginFinalisation()
{
    State.InFinalisation = true;
    SetDecisionUnitPhase(State.InInitialisation, true);
}

// The module's static initialisation has ended. The destructor registered
// now is the last one registered, so it runs first.
void FinishInitialisation()
{
    if (!State.InInitialisation)
        return;
    State.InInitialisation = false;
    SetDecisionUnitPhase(false, State.InFinalisation);
    std::atexit(BeginFinalisation);
}

// Stands in for the module's last static initialiser: runs it, puts it
// back, and ends the initialisation.
void LastConstructorWrapper()
{
    TConstructor constructor = LastConstructor;
    if (LastConstructorCell) {
        WriteCode(LastConstructorCell, &constructor, sizeof constructor);
        LastConstructorCell = nullptr;
    }
    if (constructor)
        constructor();
    FinishInitialisation();
}

} // namespace

} // namespace qov::exceptions

// The module's table of static initialisers: a count (-1: up to the null
// entry), the initialisers and a null entry. The run-time calls them from the
// last to the first, so the first entry runs last.
extern "C" qov::exceptions::TConstructor __CTOR_LIST__[];

namespace qov::exceptions {

namespace {

void WrapLastConstructor()
{
    size_t count = reinterpret_cast<size_t>(__CTOR_LIST__[0]);
    if (count == static_cast<size_t>(-1))
        for (count = 0; __CTOR_LIST__[count + 1]; ++count) {
        }
    // With one entry, the library's start is the module's only initialiser.
    if (count >= 2) {
        LastConstructorCell = &__CTOR_LIST__[1];
        LastConstructor = *LastConstructorCell;
        TConstructor wrapper = LastConstructorWrapper;
        if (WriteCode(LastConstructorCell, &wrapper, sizeof wrapper))
            return;
        LastConstructorCell = nullptr;
    }
    FinishInitialisation();
}

// The process's main thread: the thread that starts a program's static
// initialisers, or for a library the process's oldest thread.
DWORD MainThreadOfProcess()
{
    if (!IsDll(OwnModule()))
        return GetCurrentThreadId();
    DWORD main = GetCurrentThreadId();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return main;
    ULONGLONG oldest = ~0ull;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId())
            continue;
        HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
        if (!thread)
            continue;
        FILETIME created, exited, kernel, user;
        if (GetThreadTimes(thread, &created, &exited, &kernel, &user)) {
            ULONGLONG at = (ULONGLONG{created.dwHighDateTime} << 32) | created.dwLowDateTime;
            if (at < oldest) {
                oldest = at;
                main = entry.th32ThreadID;
            }
        }
        CloseHandle(thread);
    }
    CloseHandle(snapshot);
    return main;
}

} // namespace

TLibraryState& LibraryState() noexcept
{
    return State;
}

bool DefersToMainModule(HMODULE module, HMODULE mainModule)
{
    return module != mainModule && IsDll(module) && mainModule && HasZpdata(mainModule);
}

void LibraryStart()
{
    State = TLibraryState();
    State.MainModule = GetModuleHandleA(nullptr);
    State.DefersToMain = DefersToMainModule(OwnModule(), State.MainModule);
    State.Active = true;
    State.InInitialisation = true;
    State.InFinalisation = false;
    State.MainThreadId = MainThreadOfProcess();
    MarkLibraryStart();
    SetDecisionUnitPhase(true, false);
    SetDecisionDefersToMain(State.DefersToMain);
    ResetDecisions();
    if (TRaiseRecord* record = CurrentRaiseRecord())
        record->CapturePosition = 0;
    const bool development = HostIsDevelopmentEnvironment();
    if (!development)
        WrapLastConstructor();
    if (!HasZpdata(OwnModule())) {
        State.Active = false;
        return;
    }
    // The module's current options: those its block carries (published to
    // the other modules of the process as they change).
    auto options = std::make_unique<TZephraModuleOptionsEx>(ModuleFileName(OwnModule()), true);
    LoadOwnModuleOptions(*options);
    SetModuleOptions(std::move(options));
    InstallSystemInfoSteps();
    StartThreadTracking();
    State.HandlingEnabled = true;
    // The run-time library is linked into every module, so a module that
    // defers hooks its own raises too (and leaves the last-resort filter to
    // the main module).
    if (!development) {
        InstallRaiseHooks();
        InstallThreadHooks(OwnModule());
        State.Hooks = true;
    }
}

void LibraryEnd()
{
    if (!State.Active)
        return;
    // From here on every hook passes its calls straight on to what it
    // replaced, also where another module's hook still leads to it.
    State.HandlingEnabled = false;
    State.Active = false;
    if (State.Hooks) {
        RemoveThreadHooks();
        RemoveRaiseHooks();
        State.Hooks = false;
    }
    // At the process's end another thread may still be in a hook or a
    // report (a program's), or may have been ended while it held the thread
    // list's lock (a library's): the list and the options then stay until
    // the process is gone.
    // A report running on another thread (a library module unloaded while
    // it reports) is waited for, at most a few seconds; one still running
    // keeps them too.
    if (!ProcessEnding() && WaitForRunningReport(kEndReportWaitMs)) {
        EndThreadTracking();
        SetModuleOptions(nullptr);
    }
    // A library module's slot goes with it; a program's stays to its end,
    // since its other threads may still be in a hook.
    if (IsDll(OwnModule()))
        EndRaiseRecords();
}

} // namespace qov::exceptions
