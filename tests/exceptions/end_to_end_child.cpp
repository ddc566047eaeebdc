// Child of the end-to-end checks, carrying the library with its own debug
// data and the checks' options. Its notify handler writes what it got to the
// output ("program notice", NoticeRecord.h). "main": an exception nothing
// catches on the main thread, which ends the program. "library": loads the
// library module of the checks, which carries the library too, and runs its
// workers, which raise and fault without a catch; the module's handler
// writes its own lines ("library notice").
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "EEvents.h"
#include "ERaise.h"
#include "NoticeRecord.h"
#include "SysUtils.h"

using namespace qov::exceptions;

struct EEndToEnd : ::qov::Exception {
    explicit EEndToEnd(const std::string& message) : Exception(message) {}
};

namespace e2echild {

#define NOINLINE __attribute__((noinline, noipa))

volatile int Sink;
int ThrowLine, CallLine;

void __stdcall Tell(const char* text)
{
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void Say(const std::string& line)
{
    Tell((line + "\n").c_str());
}

std::string Number(uintptr_t value)
{
    return std::to_string(static_cast<unsigned long long>(value));
}

std::string Address(const void* address)
{
    return Number(reinterpret_cast<uintptr_t>(address));
}

NOINLINE void RaiseOnMain()
{
    Sink = 1;
    ThrowLine = __LINE__ + 1;
    throw EEndToEnd("raised on the main thread");
}

NOINLINE void CallRaiseOnMain()
{
    CallLine = __LINE__ + 1;
    RaiseOnMain();
    Sink = 2;
}

int RunLibrary()
{
    HMODULE library = LoadLibraryA("end_to_end_dll.dll");
    if (!library) {
        Say("no library");
        return 2;
    }
    auto proc = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(library, name)); };
    auto install = reinterpret_cast<void (*)(decltype(&Tell))>(proc("E2eLibraryInstall"));
    auto state = reinterpret_cast<int (*)()>(proc("E2eLibraryState"));
    auto worker = reinterpret_cast<DWORD (*)(int, DWORD*)>(proc("E2eLibraryWorker"));
    auto places = reinterpret_cast<void (*)(int*, int*, const void**, const void**)>(proc("E2eLibraryPlaces"));
    if (!install || !state || !worker || !places) {
        Say("no exports");
        return 2;
    }
    install(&Tell);
    Say("state " + std::to_string(state()));
    // The last-resort filter stays the program's.
    LPTOP_LEVEL_EXCEPTION_FILTER filter = SetUnhandledExceptionFilter(nullptr);
    SetUnhandledExceptionFilter(filter);
    HMODULE filterModule = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(filter), &filterModule);
    Say(std::string("filter ") + (filter == UnhandledExceptionFilterOfLibrary ? "program"
                                  : filterModule == library                ? "library"
                                                                           : "other"));
    for (int fault : {0, 1}) {
        DWORD id = 0;
        const DWORD code = worker(fault, &id);
        Say("worker " + std::to_string(fault) + " " + Number(id) + " " + Number(code));
    }
    int throwLine = 0, callLine = 0;
    const void *raising = nullptr, *faulting = nullptr;
    places(&throwLine, &callLine, &raising, &faulting);
    Say("places " + std::to_string(throwLine) + " " + std::to_string(callLine) + " " + Address(raising) + " " +
        Address(faulting));
    return 0;
}

} // namespace e2echild

using namespace e2echild;

int main(int argc, char** argv)
{
    qovtest::NoteReports();
    RegisterEventHandlers(TZephraEventHandlers{.OnExceptionNotify = [](const TZephraExceptionRecord& record, bool&) {
        Tell(qovtest::NoticeText("program", qovtest::NoticeOf(record)).c_str());
        // The lines of this program's raise, set by the time it is reported.
        Say("lines " + std::to_string(ThrowLine) + " " + std::to_string(CallLine));
    }});
    const char* mode = argc > 1 ? argv[1] : "";
    Say("main " + Number(GetCurrentThreadId()) + " " + Address(reinterpret_cast<const void*>(&RaiseOnMain)));
    if (std::strcmp(mode, "main") == 0) {
        CallRaiseOnMain();
        Say("not ended");
        return 0;
    }
    if (std::strcmp(mode, "library") == 0)
        return RunLibrary();
    return 3;
}
