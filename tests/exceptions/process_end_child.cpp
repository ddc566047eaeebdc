// Child of the process-end test, carrying the library (its options show no
// dialog): it loads a library module that carries the library too, lets the
// module's handlers fail on its main thread, on threads the module makes and
// on threads of its own C runtime (each failure is one report, worked on by
// a thread of the program's library that also asks the module for its
// custom data and then ends), writes how many failures were taken care of
// and how many reports it heard of, and returns from main with the module
// still loaded, so that both instances of the library end with the process.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "EEvents.h"

using namespace qov::exceptions;

int main()
{
    std::atomic<int> reports{0};
    RegisterEventHandlers({.OnExceptionNotify = [&](const TZephraExceptionRecord&, bool&) { ++reports; }});
    HMODULE dll = LoadLibraryA("process_end_dll.dll");
    using TFail = BOOL(__stdcall*)();
    const auto fail = reinterpret_cast<TFail>(reinterpret_cast<void*>(GetProcAddress(dll, "EndDllFail")));
    const auto failOnThread =
        reinterpret_cast<TFail>(reinterpret_cast<void*>(GetProcAddress(dll, "EndDllFailOnThread")));
    if (!fail || !failOnThread) {
        std::printf("no library module\n");
        return 2;
    }
    std::atomic<int> taken{0};
    for (int i = 0; i < 4; ++i) {
        taken += fail() ? 1 : 0;
        taken += failOnThread() ? 1 : 0;
        std::thread other([&] { taken += fail() ? 1 : 0; });
        other.join();
    }
    std::printf("taken %d reports %d\n", taken.load(), reports.load());
    std::fflush(stdout);
    return 0;
}
