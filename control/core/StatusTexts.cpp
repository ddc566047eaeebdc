#include "StatusTexts.h"

#include "LocatorHelpers.h"
#include "SysUtils.h"

namespace qov {

std::string FormatMilliseconds(uint32_t milliseconds)
{
    // Whole hours of the milliseconds are whole hours of their whole seconds.
    return SecondsToTimeText(static_cast<int32_t>(milliseconds / 1000u));
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
