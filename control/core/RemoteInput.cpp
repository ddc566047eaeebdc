#include "RemoteInput.h"

namespace qov {

std::string KeyRequestText(int32_t virtualKey, bool up)
{
    return "REQUEST\r\nCommand=KEYBD_EVENT\r\nbVk=" + std::to_string(virtualKey) + "\r\nbScan=0\r\ndwFlags=" +
           std::to_string(up ? remote::kKeyUp : 0);
}

std::string MouseRequestText(int32_t flags, int32_t x, int32_t y)
{
    return "REQUEST\r\nCommand=MOUSE_EVENT\r\ndwFlags=" + std::to_string(flags) + "\r\ndx=" + std::to_string(x) +
           "\r\ndy=" + std::to_string(y) + "\r\ndwData=0";
}

int32_t MouseButtonFlags(TMouseButton button, bool up)
{
    switch (button) {
    case TMouseButton::Right: return up ? 0x10 : 0x08;
    case TMouseButton::Middle: return up ? 0x40 : 0x20;
    case TMouseButton::Left: break;
    }
    return up ? 0x04 : 0x02;
}

} // namespace qov
