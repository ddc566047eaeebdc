// Where the recorded picture goes on screen: the picture image inside the
// picture frame for each display mode, the full-screen window's fit to its
// monitor, the blocks that a paint notification repaints, and mouse positions
// on a scaled image taken back to recording pixels.
//
// Sizes are pixels; divisions truncate toward zero; products are 64-bit, so no
// size from 0 to 65535 (or any 32-bit frame size) overflows. A zoom is a
// percentage of the recording's size, 100 at most: pictures are never enlarged.
//
// Pure logic: no Windows headers. Rectangles have the layout of a Windows RECT
// (left, top, exclusive right and bottom).
#pragma once

#include <cstdint>

namespace qov {

struct TPixelRect {
    int32_t Left = 0;
    int32_t Top = 0;
    int32_t Right = 0;
    int32_t Bottom = 0;

    int32_t Width() const { return Right - Left; }
    int32_t Height() const { return Bottom - Top; }
    // Empty or inverted.
    bool Empty() const { return Right <= Left || Bottom <= Top; }
    bool operator==(const TPixelRect&) const = default;
};

// The smallest rectangle holding both; an empty or inverted one adds nothing.
TPixelRect UniteRects(const TPixelRect& a, const TPixelRect& b);

// Values of the control's TDisplayMode.
namespace display {
constexpr int32_t dmAdaptive = 0;  // scaled down to fit the picture frame
constexpr int32_t dmFull = 1;      // full-screen window
constexpr int32_t dmOriginal = 2;  // 1:1 with scroll bars
} // namespace display

// The picture image within its parent (frame or full-screen window) and the
// zoom it was laid out with.
struct TPicturePlace {
    int32_t Left = 0;
    int32_t Top = 0;
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t Zoom = 1;
};

// A picture of pictureWidth x pictureHeight fitted into an area: when it is
// wider or higher than the area, zoom by the area's width when the area is
// relatively narrower (areaWidth x pictureHeight <= pictureWidth x areaHeight),
// else by its height; otherwise zoom 100. The image is centred. An area of 0
// pixels, or a picture far larger than the area, gives zoom 0 and an empty
// image (nothing to paint). The picture must have a size (both above 0).
TPicturePlace FitPicture(int32_t areaWidth, int32_t areaHeight, int32_t pictureWidth, int32_t pictureHeight);

// The picture frame's layout of its image.
struct TFrameLayout {
    TPicturePlace Image;
    bool HorzScrollBar = false;  // visible (the control puts its position to 0)
    bool VertScrollBar = false;
};

// Lays the image out in a frame of frameWidth x frameHeight for mode:
// dmAdaptive fits it (FitPicture) with both scroll bars hidden; dmOriginal
// shows it at its own size, centred along a side where the frame is larger,
// at 0 with that side's scroll bar otherwise, and keeps the zoom; any other
// mode leaves layout as it is. Returns false, with layout untouched, while the
// picture has no size (width or height 0 or less); true means the control
// places the image and makes it a new blue bitmap of the image's size.
bool LayoutPicture(int32_t mode, int32_t frameWidth, int32_t frameHeight, int32_t pictureWidth,
                   int32_t pictureHeight, TFrameLayout& layout);

// The full-screen window: the monitor's bounds and the image fitted in it.
struct TFullScreenLayout {
    TPixelRect Window;   // screen coordinates
    TPicturePlace Image; // within the window
};

// Fits the picture to the monitor (the whole screen when there is no monitor
// object). Returns false, with layout untouched, while the picture has no
// size.
bool FitFullScreen(const TPixelRect& monitor, int32_t pictureWidth, int32_t pictureHeight,
                   TFullScreenLayout& layout);

// The rectangle of a WM_ENGINE_PAINT notification: left and top in the high
// and low words of wParam, right and bottom in those of lParam. Both 0 give an
// empty rectangle, which paints nothing.
TPixelRect DirtyRectFromParams(uint64_t wParam, uint64_t lParam);

// What one paint copies: Source in the back buffer, Dest in the picture
// bitmap. Scale is false when the two are equal (one 1:1 copy), true when the
// bilinear scaler draws Dest from Source.
struct TPaintBlock {
    TPixelRect Source;
    TPixelRect Dest;
    bool Scale = false;
};

// The block to repaint for the changed rectangle dirty of a back buffer of
// bufferWidth x bufferHeight (the recording's size) shown in a picture bitmap
// of pictureWidth x pictureHeight at zoom percent. dirty is first clipped to
// the back buffer. dmOriginal copies 1:1 (clipped to the picture too); every
// other mode (dmAdaptive, and dmFull with the full-screen window's zoom)
// snaps the rectangle outward to 100-pixel blocks of the recording, so that
// scaled blocks meet without seams, and scales it by zoom into the picture.
// Returns false when nothing is to be painted: an empty, inverted or outside
// rectangle, an empty back buffer or picture, or zoom 0 or less.
bool PaintRectangles(int32_t mode, const TPixelRect& dirty, int32_t bufferWidth, int32_t bufferHeight,
                     int32_t zoom, int32_t pictureWidth, int32_t pictureHeight, TPaintBlock& block);

// A position on an image shown at zoom percent, in recording pixels
// (v x 100 / zoom); v itself at zoom 100, or when there is no zoom (0 or less).
int32_t ImageToRecording(int32_t v, int32_t zoom);

} // namespace qov
