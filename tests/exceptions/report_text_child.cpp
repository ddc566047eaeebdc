// Console child of the report-text checks, carrying the library with its own
// debug data: a worker raises an exception nothing catches; the library
// prints its report on this program's standard output, the program's custom
// data among its sections. Prints "worker <id>" first and "done" at the end.
#include <windows.h>

#include <cstdio>
#include <string>

#include "EEvents.h"
#include "SysUtils.h"

using namespace qov::exceptions;

struct EReportChild : ::qov::Exception {
    explicit EReportChild(const std::string& message) : Exception(message) {}
};

namespace {

#define NOINLINE __attribute__((noinline, noipa))

volatile int Sink;

NOINLINE void RaiseInWorker()
{
    Sink = 1;
    throw EReportChild("raised in the console child");
}

DWORD WINAPI Worker(void*)
{
    RaiseInWorker();
    Sink = 2;
    return 0;
}

} // namespace

int main()
{
    RegisterEventHandlers(TZephraEventHandlers{
        .OnCustomDataRequest = [](const TZephraExceptionRecord&, std::string& text) {
            text = "child data: 1\r\nsecond";
        }});
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, Worker, nullptr, CREATE_SUSPENDED, &id);
    if (!thread)
        return 2;
    std::printf("worker %lu\n", static_cast<unsigned long>(id));
    std::fflush(stdout);
    ResumeThread(thread);
    WaitForSingleObject(thread, 30000);
    CloseHandle(thread);
    std::printf("done\n");
    std::fflush(stdout);
    return 0;
}
