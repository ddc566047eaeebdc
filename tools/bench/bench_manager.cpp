// bench_manager: the exception manager's report in a program that carries
// the library (its own debug data, so the library starts itself; its options
// show no dialog). With 20 other threads of the process, each 30 frames
// deep, an exception that nothing catches is thrown in a worker thread: the
// time from the throw to the exception-notify event on the raising thread
// (the raise hooks' decision, the raiser's and the other threads' stacks
// captured, copied while suspended, scanned and named from this program's
// debug data, the event handed over to the raising thread), median and worst
// of 20 reports. Then what the library costs a handled throw and catch at
// depth 20 against the same program built without it (bench_raise_plain),
// best of 7 rounds each, and the ratio (goal: at most 2).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include "BenchSupport.h"
#include "BenchThrow.h"
#include "EEvents.h"
#include "EManager.h"
#include "EStack.h"

using namespace qov::exceptions;

namespace {

constexpr int Threads = 20;
constexpr int Depth = 30;
constexpr int Reports = 20;

HANDLE Release = nullptr;
std::atomic<int> Waiting{0};

__attribute__((noinline)) int Descend(int depth)
{
    if (depth == 0) {
        ++Waiting;
        WaitForSingleObject(Release, INFINITE);
        return 0;
    }
    const int below = Descend(depth - 1);
    asm volatile("" ::: "memory");
    return below + 1;
}

DWORD WINAPI Deep(void*)
{
    return static_cast<DWORD>(Descend(Depth));
}

struct EMeasured : ::qov::Exception {
    EMeasured() : Exception("measured") {}
};

// The time of the throw and of the notify event of the report in progress.
std::atomic<double> Thrown{0}, Notified{0};
size_t Entries = 0;

__attribute__((noinline)) void RaiseMeasured()
{
    Thrown = qov::bench::NowMs();
    throw EMeasured();
}

DWORD WINAPI Raiser(void*)
{
    RaiseMeasured();
    return 0;
}

} // namespace

int main()
{
    qov::bench::PrintArchitecture("bench_manager");
    if (!LibraryState().Active) {
        std::printf("the library is not active: the program carries no debug data\n");
        return 1;
    }
    RegisterEventHandlers(TZephraEventHandlers{.OnExceptionNotify = [](const TZephraExceptionRecord& record, bool&) {
        Notified = qov::bench::NowMs();
        Entries = record.CallStack ? record.CallStack->Count() : 0;
    }});

    Release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<HANDLE> deep;
    for (int i = 0; i < Threads; ++i)
        deep.push_back(CreateThread(nullptr, 0, Deep, nullptr, 0, nullptr));
    while (Waiting < Threads)
        Sleep(1);

    std::vector<double> times;
    for (int i = 0; i < Reports; ++i) {
        Notified = 0;
        HANDLE raiser = CreateThread(nullptr, 0, Raiser, nullptr, 0, nullptr);
        WaitForSingleObject(raiser, INFINITE);
        CloseHandle(raiser);
        if (Notified > 0)
            times.push_back(Notified - Thrown);
    }
    SetEvent(Release);
    WaitForMultipleObjects(static_cast<DWORD>(deep.size()), deep.data(), TRUE, INFINITE);
    for (HANDLE thread : deep)
        CloseHandle(thread);
    if (times.size() != Reports) {
        std::printf("only %zu of %d reports reached the notify event\n", times.size(), Reports);
        return 1;
    }
    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    std::printf("raise in a worker to the notify event, %d other threads %d frames deep (%zu stack entries):\n",
                Threads, Depth, Entries);
    std::printf("  first %.2f ms, median %.2f ms, worst %.2f ms of %d\n", times[0],
                (sorted[Reports / 2 - 1] + sorted[Reports / 2]) / 2, sorted.back(), Reports);

    const qov::bench::TThrowCost cost = qov::bench::ThrowCost(20);
    std::printf("handled throw and catch at depth 20 (best of 7 rounds): without library %.0f ns, with library "
                "%.0f ns, ratio %.2f (goal at most 2)\n",
                cost.Plain, cost.Hooked, cost.Hooked / cost.Plain);
    return 0;
}
