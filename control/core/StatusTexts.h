// Texts of the statistics window: play times, receive rates and buffered
// byte counts as the window shows them.
//
// Pure logic: no Windows headers.
#pragma once

#include <cstdint>
#include <string>

namespace qov {

// "hh:mm:ss", each part with at least two digits; hours above 99 take as many
// digits as they need (360,000,000 ms reads "100:00:00").
std::string FormatMilliseconds(uint32_t milliseconds);

// A receive rate in bits per millisecond (kilobits per second): below 1024
// "<r> Kbps", else "<r / 1024 with two decimals> Mbps".
std::string BitRateText(uint32_t rate);

// The buffered bytes (frames in the buffer plus bytes waiting in the source's
// read buffer, summed as unsigned 32-bit) in whole kilobytes: "10K".
std::string BufferedBytesText(uint32_t bufferBytes, uint32_t waitingBytes);

} // namespace qov
