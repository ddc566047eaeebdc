// Looking at the control's windows in tests (Windows only): the form of a
// control, waiting while the container pumps, and pixels read back from a
// window on the test screen.
#pragma once
#ifdef _WIN32

#include <windows.h>
#include <ole2.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "ControlHost.h"
#include "OwnWindows.h"
#include "QovPlayerTLB.h"
#include "TextPixels.h"

namespace qov::test {

// The control's form window.
inline HWND FormOf(IQovPlayer* player)
{
    IOleWindow* window = nullptr;
    player->QueryInterface(IID_IOleWindow, reinterpret_cast<void**>(&window));
    HWND form = nullptr;
    window->GetWindow(&form);
    window->Release();
    return form;
}

struct TWindowSearch {
    const char* ClassName;
    HWND Found;
};

// Pumps until done answers true; false after ms.
inline bool WaitUntil(const std::function<bool()>& done, DWORD ms)
{
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > ms)
            return false;
        TControlHost::Pump(10);
    }
    return true;
}

// The window's pixels of (left, top)-(left + width, top + height) after its
// pending paints: B, G, R per pixel, rows top-down without padding.
inline std::vector<uint8_t> ReadWindowPixels(HWND window, int left, int top, int width, int height)
{
    RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    HDC dc = GetDC(window);
    TPixels pixels = ReadPixels(dc, RECT{left, top, left + width, top + height});
    ReleaseDC(window, dc);
    return std::move(pixels.Bytes);
}

// A sw x sh picture scaled to dw x dh (both above 1) as one block by the
// bilinear rule with rounding, computed plainly in 64 bits: B, G, R rows as
// ReadWindowPixels gives them. at(x, y, b) is byte b (0 blue, 1 green, 2 red)
// of source pixel (x, y).
inline std::vector<uint8_t> BilinearReference(int sw, int sh, int dw, int dh,
                                              const std::function<int64_t(int64_t, int64_t, int)>& at)
{
    const int64_t dx = dw - 1, dy = dh - 1;
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(dw) * dh * 3);
    for (int64_t y = 0; y < dh; ++y) {
        const int64_t u = y * (sh - 1), row = u / dy, fy = u % dy, wy = dy - fy;
        const int64_t low = fy ? std::min<int64_t>(row + 1, sh - 1) : row;
        for (int64_t k = 0; k < dw; ++k) {
            const int64_t c = k * (sw - 1), col = c / dx, fx = c % dx, wx = dx - fx;
            const int64_t right = fx ? std::min<int64_t>(col + 1, sw - 1) : col;
            for (int b = 0; b < 3; ++b) {
                const int64_t tl = at(col, row, b), tr = at(right, row, b), bl = at(col, low, b),
                              br = at(right, low, b);
                out.push_back(static_cast<uint8_t>((wy * wx * (tl - tr - bl + br) + dx * wy * tr + dy * wx * bl +
                                                    (dx * dy - dy * wx - dx * wy) * br + dx * dy / 2) /
                                                   (dx * dy)));
            }
        }
    }
    return out;
}

} // namespace qov::test

#endif
