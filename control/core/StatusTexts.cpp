#include "StatusTexts.h"

#include "SysUtils.h"

namespace qov {

std::string FormatMilliseconds(uint32_t milliseconds)
{
    const uint32_t hours = milliseconds / 3600000u;
    const uint32_t seconds = milliseconds / 1000u;
    return Format("%02u:%02u:%02u", static_cast<unsigned>(hours),
                  static_cast<unsigned>((seconds % 3600u) / 60u), static_cast<unsigned>(seconds % 60u));
}

std::string BitRateText(uint32_t rate)
{
    if (rate < 1024u)
        return Format("%u Kbps", static_cast<unsigned>(rate));
    return Format("%.2f Mbps", static_cast<double>(rate) / 1024.0);
}

std::string BufferedBytesText(uint32_t bufferBytes, uint32_t waitingBytes)
{
    const uint32_t total = bufferBytes + waitingBytes; // wraps as the window's sum does
    return Format("%uK", static_cast<unsigned>(total >> 10));
}

} // namespace qov
