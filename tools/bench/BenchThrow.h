// A handled exception thrown at a depth below its catch, timed: what the
// raise hooks cost a program whose exceptions are caught. A program that
// carries the library measures itself; the same measurement built without
// the library is bench_raise_plain, which such a program starts as a child
// for each of its rounds, so that the two run side by side. Windows only,
// header only (bench_raise and bench_manager).
#pragma once

#include <windows.h>

#include <cstdlib>
#include <string>

#include "BenchArch.h"
#include "SysUtils.h"

#ifndef QOV_BENCH_PLAIN
#include "ChildProgram.h"
#endif

namespace qov::bench {

struct EHandledThrow : ::qov::Exception {
    explicit EHandledThrow(int code) : Exception("raised by the benchmark"), Code(code) {}
    int Code;
};

inline volatile int ThrowSink;

__attribute__((noinline)) inline void ThrowDown(int depth)
{
    if (depth == 0)
        throw EHandledThrow(depth);
    ThrowDown(depth - 1);
    ThrowSink = ThrowSink + 1;
}

// Nanoseconds per throw and catch of count exceptions thrown depth calls
// below their catch.
inline double NsPerThrow(int depth, int count)
{
    const double start = CounterMs();
    for (int i = 0; i < count; ++i) {
        try {
            ThrowDown(depth);
        } catch (const EHandledThrow& e) {
            ThrowSink = ThrowSink + e.Code;
        }
    }
    return (CounterMs() - start) * 1e6 / count;
}

inline int ThrowCountFor(int depth)
{
    return depth >= 50 ? 2000 : 5000;
}

#ifndef QOV_BENCH_PLAIN
// One round of the program without the library (its output: the figure);
// 0 when it gave none.
inline double PlainNsPerThrow(int depth)
{
    std::string output;
    qovtest::RunChildProgram("bench_raise_plain.exe",
                             std::to_string(depth) + " " + std::to_string(ThrowCountFor(depth)), output);
    return std::atof(output.c_str());
}

struct TThrowCost {
    double Plain, Hooked;
};

// The best of rounds rounds with the library (this program) and without it,
// taken in turn.
inline TThrowCost ThrowCost(int depth, int rounds = 7)
{
    TThrowCost cost{1e30, 1e30};
    NsPerThrow(depth, 200); // the unwinder's tables and the decisions warm
    for (int round = 0; round < rounds; ++round) {
        const double plain = PlainNsPerThrow(depth);
        if (plain > 0 && plain < cost.Plain)
            cost.Plain = plain;
        const double hooked = NsPerThrow(depth, ThrowCountFor(depth));
        if (hooked < cost.Hooked)
            cost.Hooked = hooked;
    }
    return cost;
}
#endif

} // namespace qov::bench
