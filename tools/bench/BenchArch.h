// The architecture a benchmark was built for, printed first so that figures
// from the i686 and x86_64 builds are never mixed up.
#pragma once

#include <cstdio>

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

} // namespace qov::bench
