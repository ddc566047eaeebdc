#include "PictureLayout.h"

#include <algorithm>
#include <limits>

namespace qov {
namespace {

int32_t ClampToInt32(int64_t v)
{
    return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

// v x zoom / 100, for v and zoom of any sign and size.
int32_t Zoomed(int32_t v, int32_t zoom)
{
    return ClampToInt32(static_cast<int64_t>(v) * zoom / 100);
}

} // namespace

TPixelRect UniteRects(const TPixelRect& a, const TPixelRect& b)
{
    if (a.Empty())
        return b.Empty() ? TPixelRect{} : b;
    if (b.Empty())
        return a;
    return {std::min(a.Left, b.Left), std::min(a.Top, b.Top), std::max(a.Right, b.Right),
            std::max(a.Bottom, b.Bottom)};
}

TPicturePlace FitPicture(int32_t areaWidth, int32_t areaHeight, int32_t pictureWidth, int32_t pictureHeight)
{
    const int64_t aw = std::max(areaWidth, 0);
    const int64_t ah = std::max(areaHeight, 0);
    const int64_t pw = std::max(pictureWidth, 1);
    const int64_t ph = std::max(pictureHeight, 1);
    int64_t zoom = 100;
    if (aw < pw || ah < ph)
        zoom = aw * ph - pw * ah <= 0 ? aw * 100 / pw : ah * 100 / ph;
    TPicturePlace place;
    place.Zoom = static_cast<int32_t>(zoom);
    place.Width = static_cast<int32_t>(pw * zoom / 100);
    place.Height = static_cast<int32_t>(ph * zoom / 100);
    place.Left = static_cast<int32_t>((aw - place.Width) / 2);
    place.Top = static_cast<int32_t>((ah - place.Height) / 2);
    return place;
}

bool LayoutPicture(int32_t mode, int32_t frameWidth, int32_t frameHeight, int32_t pictureWidth,
                   int32_t pictureHeight, TFrameLayout& layout)
{
    if (pictureWidth <= 0 || pictureHeight <= 0)
        return false;
    if (mode == display::dmAdaptive) {
        layout.Image = FitPicture(frameWidth, frameHeight, pictureWidth, pictureHeight);
        layout.HorzScrollBar = false;
        layout.VertScrollBar = false;
    } else if (mode == display::dmOriginal) {
        // Along each side: centred when the frame is larger, else at 0 with
        // that side's scroll bar.
        auto place = [](int32_t frame, int32_t picture, int32_t& origin, bool& scrollBar) {
            scrollBar = picture >= frame;
            origin = scrollBar ? 0 : static_cast<int32_t>((static_cast<int64_t>(frame) - picture) / 2);
        };
        place(frameWidth, pictureWidth, layout.Image.Left, layout.HorzScrollBar);
        place(frameHeight, pictureHeight, layout.Image.Top, layout.VertScrollBar);
        layout.Image.Width = pictureWidth;
        layout.Image.Height = pictureHeight;
    }
    return true;
}

bool FitFullScreen(const TPixelRect& monitor, int32_t pictureWidth, int32_t pictureHeight,
                   TFullScreenLayout& layout)
{
    if (pictureWidth <= 0 || pictureHeight <= 0)
        return false;
    layout.Window = monitor;
    const int64_t width = static_cast<int64_t>(monitor.Right) - monitor.Left;
    const int64_t height = static_cast<int64_t>(monitor.Bottom) - monitor.Top;
    layout.Image = FitPicture(ClampToInt32(width), ClampToInt32(height), pictureWidth, pictureHeight);
    return true;
}

TPixelRect DirtyRectFromParams(uint64_t wParam, uint64_t lParam)
{
    return {static_cast<int32_t>((wParam >> 16) & 0xFFFF), static_cast<int32_t>(wParam & 0xFFFF),
            static_cast<int32_t>((lParam >> 16) & 0xFFFF), static_cast<int32_t>(lParam & 0xFFFF)};
}

bool PaintRectangles(int32_t mode, const TPixelRect& dirty, int32_t bufferWidth, int32_t bufferHeight,
                     int32_t zoom, int32_t pictureWidth, int32_t pictureHeight, TPaintBlock& block)
{
    if (bufferWidth <= 0 || bufferHeight <= 0 || pictureWidth <= 0 || pictureHeight <= 0)
        return false;
    // A stale or damaged notification may name pixels the back buffer does
    // not have.
    TPixelRect s{std::max(dirty.Left, 0), std::max(dirty.Top, 0), std::min(dirty.Right, bufferWidth),
                 std::min(dirty.Bottom, bufferHeight)};
    if (s.Empty())
        return false;

    if (mode == display::dmOriginal) {
        s.Right = std::min(s.Right, pictureWidth);
        s.Bottom = std::min(s.Bottom, pictureHeight);
        if (s.Empty())
            return false;
        block = {s, s, false};
        return true;
    }

    if (zoom <= 0)
        return false;
    // Whole 100-pixel blocks, so that scaled neighbours meet without seams.
    s.Left = s.Left / 100 * 100;
    s.Top = s.Top / 100 * 100;
    s.Right = static_cast<int32_t>(std::min<int64_t>((s.Right / 100 + 1) * int64_t{100}, bufferWidth));
    s.Bottom = static_cast<int32_t>(std::min<int64_t>((s.Bottom / 100 + 1) * int64_t{100}, bufferHeight));
    const TPixelRect d{Zoomed(s.Left, zoom), Zoomed(s.Top, zoom), std::min(Zoomed(s.Right, zoom), pictureWidth),
                       std::min(Zoomed(s.Bottom, zoom), pictureHeight)};
    if (d.Empty())
        return false;
    block = {s, d, !(d == s)};
    return true;
}

int32_t ImageToRecording(int32_t v, int32_t zoom)
{
    if (zoom <= 0)
        return v;
    return ClampToInt32(static_cast<int64_t>(v) * 100 / zoom);
}

} // namespace qov
