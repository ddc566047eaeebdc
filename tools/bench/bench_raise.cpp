// bench_raise: what the raise hooks cost a program whose exceptions are
// caught. A qov::Exception is thrown at depth 5, 20 and 50 below its catch
// in a program that carries the library (active: every throw is recorded and
// decided) and in the same program built without it (bench_raise_plain,
// started by this one as a child for each round, so the two run side by
// side). Prints nanoseconds per throw and catch, best of 7 rounds, and the
// ratio. Windows only (run under Wine).
#include <cstdio>
#include <cstdlib>

#include "BenchThrow.h"

int main(int argc, char** argv)
{
    using namespace qov::bench;
#ifdef QOV_BENCH_PLAIN
    // A round for the program that carries the library: depth and count.
    if (argc < 3)
        return 2;
    const int depth = std::atoi(argv[1]), count = std::atoi(argv[2]);
    NsPerThrow(depth, 200); // warm up the unwinder's tables
    std::printf("%.1f\n", NsPerThrow(depth, count));
    return 0;
#else
    (void)argc;
    (void)argv;
    PrintArchitecture("bench_raise");
    std::printf("throw and catch of a handled exception, ns per exception (best of 7 rounds):\n");
    std::printf("%6s %16s %16s %8s\n", "depth", "without library", "with library", "ratio");
    for (int depth : {5, 20, 50}) {
        const TThrowCost cost = ThrowCost(depth);
        std::printf("%6d %16.0f %16.0f %8.2f\n", depth, cost.Plain, cost.Hooked, cost.Hooked / cost.Plain);
    }
    return 0;
#endif
}
