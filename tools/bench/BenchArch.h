// The architecture a benchmark was built for, printed first so that figures
// from the i686 and x86_64 builds are never mixed up.
#pragma once

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#endif

namespace qov::bench {

inline const char* BuildArchitecture()
{
    return sizeof(void*) == 8 ? "x86_64" : "i686";
}

inline void PrintArchitecture(const char* program)
{
    std::printf("%s: %s build\n", program, BuildArchitecture());
    std::fflush(stdout);
}

#ifdef _WIN32
// Milliseconds of the performance counter.
inline double CounterMs()
{
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}
#endif

} // namespace qov::bench
