// UnitTop: the picture area. TPictureImage is the picture element (imgPic)
// that a window paints at its place: one 24-bit top-down bitmap of exactly
// its size. TDetailFrame is the picture frame of the control: it lays the
// image out for the display mode, scrolls it in original size with flat
// scroll bars and asks the control for full screen on a double click. PaintPicture copies or scales a
// changed block of the back buffer into an image and invalidates it.
#pragma once

#include <windows.h>

#include <cstdint>

#include "PictureLayout.h"
#include "UnitScale.h"

namespace qov {

class TBackBuffer;
struct PlaybackContext;

// Posted by the full-screen window to leave full screen (lParam: the id of
// the window that asks) and by the picture frame on a double click.
constexpr UINT WM_FULLSCREEN_EXIT = WM_USER + 105;
constexpr UINT WM_FULLSCREEN_TOGGLE = WM_USER + 108;

// Colour of a picture before its first frame: pure blue.
constexpr COLORREF kClearPictureColor = 0xFF0000;

class TPictureImage {
public:
    TPictureImage() = default;
    ~TPictureImage();
    TPictureImage(const TPictureImage&) = delete;
    TPictureImage& operator=(const TPictureImage&) = delete;

    // Frees the bitmap and makes a new one of width x height (none when
    // either is 0 or less, or when it cannot be had).
    void Make(int32_t width, int32_t height);
    // Fills the whole bitmap with one colour.
    void Fill(COLORREF color);
    // Paints the image at its place into a DC of its parent's client area.
    void Draw(HDC dc) const;

    bool HasBitmap() const { return FBits != nullptr; }
    HDC DC() const { return FDC; }
    TDestPixels Pixels() const;
    int32_t Width() const { return FWidth; }
    int32_t Height() const { return FHeight; }

    // Place within the parent's client area.
    int32_t Left = 0;
    int32_t Top = 0;
    bool Visible = true;

private:
    void Free() noexcept;

    HDC FDC = nullptr;
    HBITMAP FBitmap = nullptr;
    HGDIOBJ FSaved = nullptr;
    uint8_t* FBits = nullptr;
    int32_t FStride = 0;
    int32_t FWidth = 0;
    int32_t FHeight = 0;
};

// Removes every WM_ENGINE_PAINT already queued for window and unites its
// rectangle with dirty.
TPixelRect MergeQueuedPaints(HWND window, TPixelRect dirty);

// Repaints the changed rectangle dirty of buffer into image (mode and zoom
// as the picture was laid out) under the buffer's lock, then invalidates that
// area of parent without erasing. False when nothing was painted.
bool PaintPicture(TBackBuffer& buffer, int32_t mode, const TPixelRect& dirty, int32_t zoom, TPictureImage& image,
                  HWND parent);

class TDetailFrame {
public:
    // Serves the frame window that the control made (its window procedure
    // hands messages to Message).
    explicit TDetailFrame(HWND window);
    ~TDetailFrame();
    TDetailFrame(const TDetailFrame&) = delete;
    TDetailFrame& operator=(const TDetailFrame&) = delete;

    HWND Handle() const { return FWindow; }

    // Picture size from the recording's header, then LayoutPicture.
    void SetPictureSource(const PlaybackContext& context, int32_t mode);
    void SetPictureSize(int32_t width, int32_t height, int32_t mode);
    void LayoutPicture();
    void ClearPicture();
    // OnResize: lays the picture out again when the frame's size changed.
    // True when it did (the picture then needs a repaint).
    bool FrameResize();
    void MarkerReached() {}

    int32_t Mode() const { return FMode; }
    int32_t Zoom() const { return FZoom; }
    int32_t PictureWidth() const { return FPictureWidth; }
    int32_t PictureHeight() const { return FPictureHeight; }

    // Paint, scroll and double click of the frame window; false for a
    // message the frame leaves to its window procedure.
    bool Message(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result);

    TPictureImage imgPic;

private:
    void Scroll(int bar, WPARAM wp);
    void SetScrollBar(int bar, bool visible, int32_t range, int32_t page);

    HWND FWindow;
    int32_t FPictureWidth = 0;
    int32_t FPictureHeight = 0;
    int32_t FMode = display::dmAdaptive;
    int32_t FZoom = 1;
    TFrameLayout FLayout;
    SIZE FLaidOut{-1, -1};  // frame size of the last layout
    bool FLayingOut = false;
};

} // namespace qov
