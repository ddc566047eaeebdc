#include "MiscHead.h"

#include <cstdio>

namespace qov::app {

std::string IntToTime(int32_t seconds)
{
    if (seconds < 0)
        seconds = 0;
    char text[32];
    std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld", static_cast<long>(seconds / 3600),
                  static_cast<long>(seconds / 60 % 60), static_cast<long>(seconds % 60));
    return text;
}

int32_t MulDivRound(int32_t a, int32_t b, int32_t c)
{
    if (c == 0)
        return -1;
    int64_t product = static_cast<int64_t>(a) * b;
    bool negative = (product < 0) != (c < 0);
    uint64_t n = product < 0 ? 0 - static_cast<uint64_t>(product) : static_cast<uint64_t>(product);
    uint64_t d = c < 0 ? 0 - static_cast<uint64_t>(static_cast<int64_t>(c)) : static_cast<uint64_t>(c);
    uint64_t q = (n + d / 2) / d;
    if (q > static_cast<uint64_t>(INT32_MAX))
        return -1;
    return negative ? -static_cast<int32_t>(q) : static_cast<int32_t>(q);
}

} // namespace qov::app
