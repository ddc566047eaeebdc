#include "UnitTop.h"

#include <commctrl.h>

#include <algorithm>

#include "QovFormat.h"
#include "UnitBackBuffer.h"
#include "UnitQovCore.h"

namespace qov {

namespace {

constexpr int kHorzScrollIncrement = 27;
constexpr int kVertScrollIncrement = 8;
// A play thread posts one notification per frame; a queue that keeps filling
// while it is emptied is left for the next paint.
constexpr int kMaxMergedPaints = 100000;

// The frame's flat scroll bars, from the common controls library. The tool
// chain's import library lacks these calls, so they are bound by name; a
// system without them keeps the ordinary scroll bars.
struct TFlatScrollBars {
    decltype(&::InitializeFlatSB) Initialize = nullptr;
    decltype(&::UninitializeFlatSB) Uninitialize = nullptr;
    decltype(&::FlatSB_SetScrollProp) SetProp = nullptr;
    decltype(&::FlatSB_SetScrollInfo) SetInfo = nullptr;
    decltype(&::FlatSB_GetScrollInfo) GetInfo = nullptr;
    decltype(&::FlatSB_SetScrollPos) SetPos = nullptr;
    decltype(&::FlatSB_ShowScrollBar) Show = nullptr;

    bool Bound() const { return Initialize && Uninitialize && SetProp && SetInfo && GetInfo && SetPos && Show; }
};

template <class F>
void Bind(HMODULE module, const char* name, F& function)
{
    function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const TFlatScrollBars& FlatScrollBars()
{
    static const TFlatScrollBars bars = [] {
        TFlatScrollBars b;
        // Stays loaded with the module: the frame windows use it to the end.
        if (HMODULE module = LoadLibraryA("comctl32.dll")) {
            Bind(module, "InitializeFlatSB", b.Initialize);
            Bind(module, "UninitializeFlatSB", b.Uninitialize);
            Bind(module, "FlatSB_SetScrollProp", b.SetProp);
            Bind(module, "FlatSB_SetScrollInfo", b.SetInfo);
            Bind(module, "FlatSB_GetScrollInfo", b.GetInfo);
            Bind(module, "FlatSB_SetScrollPos", b.SetPos);
            Bind(module, "FlatSB_ShowScrollBar", b.Show);
        }
        return b.Bound() ? b : TFlatScrollBars{};
    }();
    return bars;
}

// The flat scroll bar calls act on the ordinary bars of a window that has no
// flat ones, as these do without the library.
void SetFrameScrollInfo(HWND window, int bar, const SCROLLINFO& si)
{
    if (const auto& flat = FlatScrollBars(); flat.Bound())
        flat.SetInfo(window, bar, const_cast<SCROLLINFO*>(&si), TRUE);
    else
        SetScrollInfo(window, bar, &si, TRUE);
}

bool GetFrameScrollInfo(HWND window, int bar, SCROLLINFO& si)
{
    if (const auto& flat = FlatScrollBars(); flat.Bound())
        return flat.GetInfo(window, bar, &si) != FALSE;
    return GetScrollInfo(window, bar, &si) != FALSE;
}

void SetFrameScrollPos(HWND window, int bar, int pos)
{
    if (const auto& flat = FlatScrollBars(); flat.Bound())
        flat.SetPos(window, bar, pos, TRUE);
    else
        SetScrollPos(window, bar, pos, TRUE);
}

void ShowFrameScrollBar(HWND window, int bar, bool visible)
{
    if (const auto& flat = FlatScrollBars(); flat.Bound())
        flat.Show(window, bar, visible);
    else
        ShowScrollBar(window, bar, visible);
}

} // namespace

// ---------------------------------------------------------------------------
// TPictureImage

TPictureImage::~TPictureImage()
{
    Free();
}

void TPictureImage::Free() noexcept
{
    if (FDC) {
        if (FSaved)
            SelectObject(FDC, FSaved);
        DeleteDC(FDC);
    }
    if (FBitmap)
        DeleteObject(FBitmap);
    FDC = nullptr;
    FBitmap = nullptr;
    FSaved = nullptr;
    FBits = nullptr;
    FStride = FWidth = FHeight = 0;
}

void TPictureImage::Make(int32_t width, int32_t height)
{
    Free();
    if (width <= 0 || height <= 0)
        return;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // rows top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap || !bits) {
        if (bitmap)
            DeleteObject(bitmap);
        return;  // too large for this system: nothing is shown
    }
    HDC dc = CreateCompatibleDC(nullptr);
    if (!dc) {
        DeleteObject(bitmap);
        return;
    }
    FBitmap = bitmap;
    FDC = dc;
    FSaved = SelectObject(FDC, FBitmap);
    FBits = static_cast<uint8_t*>(bits);
    FStride = (width * 3 + 3) & ~3;
    FWidth = width;
    FHeight = height;
}

void TPictureImage::Fill(COLORREF color)
{
    if (!FDC)
        return;
    HBRUSH brush = CreateSolidBrush(color);
    RECT r{0, 0, FWidth, FHeight};
    FillRect(FDC, &r, brush);
    DeleteObject(brush);
    GdiFlush();
}

void TPictureImage::Draw(HDC dc) const
{
    if (Visible && FDC)
        BitBlt(dc, Left, Top, FWidth, FHeight, FDC, 0, 0, SRCCOPY);
}

TDestPixels TPictureImage::Pixels() const
{
    return TDestPixels{FBits, FStride, FWidth, FHeight};
}

// ---------------------------------------------------------------------------
// Painting

TPixelRect MergeQueuedPaints(HWND window, TPixelRect dirty)
{
    MSG msg;
    for (int i = 0; i < kMaxMergedPaints &&
                    PeekMessageA(&msg, window, WM_ENGINE_PAINT, WM_ENGINE_PAINT, PM_REMOVE | PM_NOYIELD);
         ++i)
        dirty = UniteRects(dirty, DirtyRectFromParams(msg.wParam, msg.lParam));
    return dirty;
}

bool PaintPicture(TBackBuffer& buffer, int32_t mode, const TPixelRect& dirty, int32_t zoom, TPictureImage& image,
                  HWND parent)
{
    if (!image.HasBitmap())
        return false;
    TPaintBlock block;
    bool painted = false;
    buffer.Lock();
    try {
        if (buffer.Ready() && buffer.BytesPerPixel() == 3 &&
            PaintRectangles(mode, dirty, buffer.Width(), buffer.Height(), zoom, image.Width(), image.Height(),
                            block)) {
            const TPixelRect& d = block.Dest;
            const TPixelRect& s = block.Source;
            if (!block.Scale) {
                painted = BitBlt(image.DC(), d.Left, d.Top, d.Width(), d.Height(), buffer.DC(), s.Left, s.Top,
                                 SRCCOPY) != FALSE;
            } else {
                GdiFlush();  // the image's bits are written directly
                painted = ScaleBlockBilinear(image.Pixels(), d, s,
                                             TSourcePixels{buffer.Bits(), buffer.Stride(), buffer.Width(),
                                                           buffer.Height()});
            }
        }
    } catch (...) {
        buffer.Unlock();
        throw;
    }
    buffer.Unlock();
    if (painted && parent) {
        RECT r{block.Dest.Left + image.Left, block.Dest.Top + image.Top, block.Dest.Right + image.Left,
               block.Dest.Bottom + image.Top};
        InvalidateRect(parent, &r, FALSE);
    }
    return painted;
}

// ---------------------------------------------------------------------------
// TDetailFrame

TDetailFrame::TDetailFrame(HWND window) : FWindow(window)
{
    // Flat scroll bars where the system draws them; elsewhere they are drawn
    // as ordinary ones.
    const auto& flat = FlatScrollBars();
    if (FWindow && flat.Bound() && flat.Initialize(FWindow)) {
        flat.SetProp(FWindow, WSB_PROP_HSTYLE, FSB_FLAT_MODE, FALSE);
        flat.SetProp(FWindow, WSB_PROP_VSTYLE, FSB_FLAT_MODE, FALSE);
    }
}

TDetailFrame::~TDetailFrame()
{
    if (const auto& flat = FlatScrollBars(); FWindow && flat.Bound() && IsWindow(FWindow))
        flat.Uninitialize(FWindow);
}

void TDetailFrame::SetPictureSource(const PlaybackContext& context, int32_t mode)
{
    SetPictureSize(context.Header.Width, context.Header.Height, mode);
}

void TDetailFrame::SetPictureSize(int32_t width, int32_t height, int32_t mode)
{
    FPictureWidth = width;
    FPictureHeight = height;
    FMode = mode;
    LayoutPicture();
}

void TDetailFrame::SetScrollBar(int bar, bool visible, int32_t range, int32_t page)
{
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_ALL | SIF_DISABLENOSCROLL;
    si.nMin = 0;
    si.nMax = visible ? range - 1 : 0;
    si.nPage = visible ? static_cast<UINT>(std::max(page, 1)) : 0;
    si.nPos = 0;
    SetFrameScrollInfo(FWindow, bar, si);
    ShowFrameScrollBar(FWindow, bar, visible);
}

void TDetailFrame::LayoutPicture()
{
    if (FPictureWidth <= 0 || FPictureHeight <= 0 || !FWindow || FLayingOut)
        return;
    RECT wr;
    GetWindowRect(FWindow, &wr);
    const SIZE size{wr.right - wr.left, wr.bottom - wr.top};
    TFrameLayout layout = FLayout;
    layout.Image.Zoom = FZoom;
    if (!qov::LayoutPicture(FMode, size.cx, size.cy, FPictureWidth, FPictureHeight, layout))
        return;
    FLayingOut = true;  // showing a scroll bar resizes the client area
    if (FMode == display::dmAdaptive || FMode == display::dmOriginal) {
        SetScrollBar(SB_HORZ, layout.HorzScrollBar, FPictureWidth, 0);
        SetScrollBar(SB_VERT, layout.VertScrollBar, FPictureHeight, 0);
        RECT client;
        GetClientRect(FWindow, &client);
        // The page is what the client area shows once both bars are placed.
        if (layout.HorzScrollBar)
            SetScrollBar(SB_HORZ, true, FPictureWidth, client.right);
        if (layout.VertScrollBar)
            SetScrollBar(SB_VERT, true, FPictureHeight, client.bottom);
    }
    FLayingOut = false;
    FLayout = layout;
    FZoom = layout.Image.Zoom;
    FLaidOut = size;
    imgPic.Left = layout.Image.Left;
    imgPic.Top = layout.Image.Top;
    imgPic.Make(layout.Image.Width, layout.Image.Height);
    ClearPicture();
    InvalidateRect(FWindow, nullptr, TRUE);
}

void TDetailFrame::ClearPicture()
{
    imgPic.Fill(kClearPictureColor);
}

bool TDetailFrame::FrameResize()
{
    if (FLayingOut || !FWindow)
        return false;
    RECT wr;
    GetWindowRect(FWindow, &wr);
    if (wr.right - wr.left == FLaidOut.cx && wr.bottom - wr.top == FLaidOut.cy)
        return false;
    LayoutPicture();
    return FLaidOut.cx == wr.right - wr.left && FLaidOut.cy == wr.bottom - wr.top;
}

void TDetailFrame::Scroll(int bar, WPARAM wp)
{
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_ALL;
    if (!GetFrameScrollInfo(FWindow, bar, si))
        return;
    const int line = bar == SB_HORZ ? kHorzScrollIncrement : kVertScrollIncrement;
    const int page = static_cast<int>(si.nPage);
    int pos = si.nPos;
    switch (LOWORD(wp)) {
    case SB_LINEUP: pos -= line; break;
    case SB_LINEDOWN: pos += line; break;
    case SB_PAGEUP: pos -= page; break;
    case SB_PAGEDOWN: pos += page; break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION: pos = si.nTrackPos; break;
    case SB_TOP: pos = 0; break;
    case SB_BOTTOM: pos = si.nMax; break;
    default: return;
    }
    pos = std::clamp(pos, 0, std::max(0, si.nMax - std::max(page, 1) + 1));
    if (pos == si.nPos)
        return;
    SetFrameScrollPos(FWindow, bar, pos);
    if (bar == SB_HORZ)
        imgPic.Left = FLayout.Image.Left - pos;
    else
        imgPic.Top = FLayout.Image.Top - pos;
    InvalidateRect(FWindow, nullptr, TRUE);
}

bool TDetailFrame::Message(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result)
{
    result = 0;
    switch (msg) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(FWindow, &ps);
        imgPic.Draw(dc);
        EndPaint(FWindow, &ps);
        return true;
    }
    case WM_HSCROLL:
    case WM_VSCROLL:
        if (lp != 0)
            return false;  // a scroll bar control's, not the frame's own
        Scroll(msg == WM_HSCROLL ? SB_HORZ : SB_VERT, wp);
        return true;
    case WM_LBUTTONDBLCLK: {
        const POINT pt{static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
        if (imgPic.Visible && pt.x >= imgPic.Left && pt.y >= imgPic.Top && pt.x < imgPic.Left + imgPic.Width() &&
            pt.y < imgPic.Top + imgPic.Height())
            PostMessageA(GetParent(FWindow), WM_FULLSCREEN_TOGGLE, 0, 0);
        return true;
    }
    default:
        return false;
    }
}

} // namespace qov
