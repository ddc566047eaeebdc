// The library module of the end-to-end checks' child program: it carries the
// library with its own debug data and options, and so defers to the program.
// Its handler tells the program, through a callback, what its receiver got;
// its workers raise or fault without a catch.
#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "EEvents.h"
#include "EManager.h"
#include "NoticeRecord.h"

using namespace qov::exceptions;

namespace e2edll {

#define NOINLINE __attribute__((noinline, noipa))

volatile int Sink;
int ThrowLine, CallLine;

NOINLINE void RaiseInLibrary()
{
    Sink = 1;
    ThrowLine = __LINE__ + 1;
    throw std::runtime_error("raised in the library module");
}

NOINLINE void CallRaiseInLibrary()
{
    CallLine = __LINE__ + 1;
    RaiseInLibrary();
    Sink = 2;
}

NOINLINE void FaultInLibrary()
{
    int* volatile target = reinterpret_cast<int*>(16);
    *target = 1;
}

DWORD WINAPI Worker(void* fault)
{
    if (fault)
        FaultInLibrary();
    else
        CallRaiseInLibrary();
    return 0;
}

using TTell = void(__stdcall*)(const char* text);
TTell Tell = nullptr;

} // namespace e2edll

using namespace e2edll;

// Registers the module's notify handler, which tells what it got.
extern "C" __declspec(dllexport) void E2eLibraryInstall(TTell tell)
{
    Tell = tell;
    RegisterEventHandlers(TZephraEventHandlers{.OnExceptionNotify = [](const TZephraExceptionRecord& record, bool&) {
        if (Tell)
            Tell(qovtest::NoticeText("library", qovtest::NoticeOf(record)).c_str());
    }});
}

// Bits: 1 active, 2 defers, 4 hooks, 8 handling enabled.
extern "C" __declspec(dllexport) int E2eLibraryState()
{
    const TLibraryState& state = LibraryState();
    return (state.Active ? 1 : 0) | (state.DefersToMain ? 2 : 0) | (state.Hooks ? 4 : 0) |
           (state.HandlingEnabled ? 8 : 0);
}

// Runs a worker of this module that raises (fault 0) or faults; its exit
// code and thread id.
extern "C" __declspec(dllexport) DWORD E2eLibraryWorker(int fault, DWORD* id)
{
    HANDLE thread =
        CreateThread(nullptr, 0, Worker, reinterpret_cast<void*>(static_cast<intptr_t>(fault)), 0, id);
    WaitForSingleObject(thread, 30000);
    DWORD code = 0xDEAD;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code;
}

// The lines of the raise and of its call, and the code of the raising function.
extern "C" __declspec(dllexport) void E2eLibraryPlaces(int* throwLine, int* callLine, const void** raising,
                                                       const void** faulting)
{
    *throwLine = ThrowLine;
    *callLine = CallLine;
    *raising = reinterpret_cast<const void*>(&RaiseInLibrary);
    *faulting = reinterpret_cast<const void*>(&FaultInLibrary);
}
