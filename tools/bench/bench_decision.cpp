// bench_decision: what the handled-or-unhandled decision adds to a handled
// exception. A C++ exception is thrown at depth 5, 20 and 50 below its catch;
// in one run, round after round side by side: the throw alone, the throw with
// the decision taken at the raise (as the raise hook takes it) while the
// cache misses every time (emptied before each raise), and with the decision
// answered from the cache. Prints nanoseconds per throw and catch and the
// ratios; the best of the rounds counts. Windows only (run under Wine).
#include <windows.h>

#include <cstdio>

#include "BenchArch.h"
#include "EHandled.h"

using namespace qov::exceptions;

namespace {

struct ETest {
    int Code;
};

enum TMode { mdPlain, mdMiss, mdHit };

TMode Mode;
volatile int Sink;

__attribute__((noinline)) void DecideAtRaise(ETest& error)
{
    if (Mode == mdMiss)
        ResetDecisions();
    TDecision d = DecideThrow(&typeid(ETest), &error, __builtin_return_address(0), false);
    Sink = Sink + d.Count;
}

__attribute__((noinline)) void Raise(int code)
{
    ETest error{code};
    if (Mode != mdPlain)
        DecideAtRaise(error);
    if (code >= 0)
        throw error;
}

__attribute__((noinline)) void Down(int depth)
{
    if (depth == 0)
        Raise(depth);
    else
        Down(depth - 1);
    Sink = Sink + 1;
}

double NsPerThrow(TMode mode, int depth, int count)
{
    Mode = mode;
    double start = qov::bench::CounterMs();
    for (int i = 0; i < count; ++i) {
        try {
            Down(depth);
        } catch (const ETest& e) {
            Sink = Sink + e.Code;
        }
    }
    return (qov::bench::CounterMs() - start) * 1e6 / count;
}

} // namespace

int main()
{
    qov::bench::PrintArchitecture("bench_decision");
    std::printf("throw and catch of a handled exception, ns per exception (best of 7 rounds):\n");
    std::printf("%6s %10s %14s %14s %10s %10s\n", "depth", "throw", "+ miss", "+ hit", "miss/plain", "hit/plain");
    for (int depth : {5, 20, 50}) {
        int count = depth >= 50 ? 2000 : 5000;
        double best[3] = {1e30, 1e30, 1e30};
        NsPerThrow(mdPlain, depth, 200); // warm up the unwinder's tables
        for (int round = 0; round < 7; ++round)
            for (TMode mode : {mdPlain, mdMiss, mdHit}) {
                double ns = NsPerThrow(mode, depth, count);
                if (ns < best[mode])
                    best[mode] = ns;
            }
        std::printf("%6d %10.0f %14.0f %14.0f %10.2f %10.2f\n", depth, best[mdPlain], best[mdMiss], best[mdHit],
                    best[mdMiss] / best[mdPlain], best[mdHit] / best[mdPlain]);
    }
    ResetDecisions();
    return 0;
}
