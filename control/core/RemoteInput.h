// Request texts that the full-screen window sends to a live broadcast's
// service for the viewer's keyboard and mouse: one line per field, CR LF
// between lines and none after the last. The numbers are the system's
// keyboard and mouse event flags.
//
// Pure logic: no Windows headers.
#pragma once

#include <cstdint>
#include <string>

namespace qov {

namespace remote {
constexpr int32_t kKeyUp = 2;  // KEYEVENTF_KEYUP
constexpr int32_t kMouseMoveAbsolute = 0x8001;
} // namespace remote

enum class TMouseButton { Left, Right, Middle };

// Key down (flags 0) or key up (flags 2) of a virtual key.
std::string KeyRequestText(int32_t virtualKey, bool up);
// Mouse event with its flags and position.
std::string MouseRequestText(int32_t flags, int32_t x, int32_t y);
// Flags of a button going down or up: 2/4 left, 8/0x10 right, 0x20/0x40 middle.
int32_t MouseButtonFlags(TMouseButton button, bool up);

} // namespace qov
