// The time formatter of the desktop program's position label.
#pragma once

#include <cstdint>
#include <string>

namespace qov::app {

// Whole seconds as "hh:nn:ss": hours with at least two digits and as many as
// the number needs, minutes and seconds with two. Negative numbers give
// "00:00:00".
std::string IntToTime(int32_t seconds);

// MulDiv as the platform computes it: a * b / c with a 64-bit intermediate,
// rounded half away from zero; -1 when c is 0 or the result does not fit.
int32_t MulDivRound(int32_t a, int32_t b, int32_t c);

} // namespace qov::app
