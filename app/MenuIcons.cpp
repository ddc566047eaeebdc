#include "MenuIcons.h"

#include <cstdint>

namespace qov::app {

namespace {

constexpr int Size = 16;

// Whether the pixel (x, y) belongs to the icon's shape.
bool Inside(int index, int x, int y)
{
    switch (index) {
    case iconOpen:  // a folder
        return (y >= 5 && y <= 13 && x >= 1 && x <= 14) || (y >= 3 && y <= 5 && x >= 1 && x <= 6);
    case iconPlay:  // a triangle pointing right
        return x >= 4 && x <= 12 && y >= 2 && y <= 13 && (y - 2 >= (x - 4) * 2 / 3) &&
               (13 - y >= (x - 4) * 2 / 3);
    case iconStop:
        return x >= 3 && x <= 12 && y >= 3 && y <= 12;
    case iconPause:
        return y >= 3 && y <= 12 && ((x >= 3 && x <= 6) || (x >= 9 && x <= 12));
    case iconForward: {  // two triangles
        int u = x < 8 ? x - 1 : x - 8;
        return x >= 1 && x <= 14 && y >= 3 && y <= 12 && u <= 6 && (y - 3 >= u * 2 / 3) &&
               (12 - y >= u * 2 / 3);
    }
    default:
        return false;
    }
}

uint32_t Colour(int index)
{
    switch (index) {
    case iconOpen: return 0xFFD8A020;
    case iconPlay: return 0xFF20A040;
    case iconStop: return 0xFFC03030;
    case iconPause: return 0xFF3060C0;
    default: return 0xFF3060C0;
    }
}

} // namespace

HBITMAP CreateMenuIcon(int index)
{
    if (index != iconOpen && index != iconPlay && index != iconStop && index != iconPause &&
        index != iconForward)
        return nullptr;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = Size;
    info.bmiHeader.biHeight = -Size;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap || !bits)
        return bitmap;
    auto* pixels = static_cast<uint32_t*>(bits);
    for (int y = 0; y < Size; ++y)
        for (int x = 0; x < Size; ++x)
            pixels[y * Size + x] = Inside(index, x, y) ? Colour(index) : 0;  // opaque or clear
    return bitmap;
}

} // namespace qov::app
