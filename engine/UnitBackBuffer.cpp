#include "UnitBackBuffer.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "SysUtils.h"

namespace qov {

namespace {

bool IsEmpty(const RECT& r)
{
    return r.left >= r.right || r.top >= r.bottom;
}

// Picture coordinates of a rectangle that starts at a 16-bit position; a
// very large picture cannot push its far edge past the coordinate range.
LONG FarEdge(int from, int size)
{
    return LONG(std::min<int64_t>(int64_t(from) + size, INT_MAX));
}

// Write one row of count pixels of a 24- or 32-bit picture onto the
// picture's 24-bit pixels: copied, or combined by exclusive or.
template <bool Invert>
void PutRow24(uint8_t* dst, const uint8_t* src, int count)
{
    const size_t n = size_t(count) * 3;
    if (!Invert) {
        std::memcpy(dst, src, n);
        return;
    }
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        uint32_t s, d;
        std::memcpy(&s, src + i, 4);
        std::memcpy(&d, dst + i, 4);
        s ^= d;
        std::memcpy(dst + i, &s, 4);
    }
    for (; i < n; ++i)
        dst[i] ^= src[i];
}

// Four 32-bit pixels become three 32-bit words of B, G, R; the fourth byte of
// each pixel is dropped.
template <bool Invert>
void PutRow32(uint8_t* dst, const uint8_t* src, int count)
{
    int x = 0;
    for (; x + 4 <= count; x += 4, src += 16, dst += 12) {
        uint32_t p[4];
        std::memcpy(p, src, 16);
        uint32_t out[3] = {(p[0] & 0xFFFFFF) | p[1] << 24, (p[1] >> 8 & 0xFFFF) | p[2] << 16,
                           (p[2] >> 16 & 0xFF) | p[3] << 8};
        if (Invert) {
            uint32_t d[3];
            std::memcpy(d, dst, 12);
            out[0] ^= d[0];
            out[1] ^= d[1];
            out[2] ^= d[2];
        }
        std::memcpy(dst, out, 12);
    }
    for (; x < count; ++x, src += 4, dst += 3)
        for (int c = 0; c < 3; ++c)
            dst[c] = Invert ? uint8_t(dst[c] ^ src[c]) : src[c];
}

} // namespace

TBackBuffer::TBackBuffer()
{
    InitializeCriticalSection(&FLock);
}

TBackBuffer::~TBackBuffer()
{
    Release();
    DeleteCriticalSection(&FLock);
}

void TBackBuffer::SetSize(int width, int height)
{
    Release();
    FInfo = BITMAPINFOHEADER{};
    FInfo.biSize = sizeof(BITMAPINFOHEADER);
    FInfo.biWidth = width;
    FInfo.biHeight = -height;  // rows top-down
    FInfo.biPlanes = 1;
    FInfo.biBitCount = WORD(FBitsPerPixel);
    FInfo.biCompression = BI_RGB;
    FStride = (FBytesPerPixel * width + 3) & ~3;
    FInfo.biSizeImage = DWORD(FStride) * DWORD(height);

    FDC = CreateCompatibleDC(nullptr);
    QOV_ASSERT(FDC != nullptr);
    FWorkDC = CreateCompatibleDC(nullptr);
    QOV_ASSERT(FWorkDC != nullptr);
    BITMAPINFO info{};
    info.bmiHeader = FInfo;
    void* bits = nullptr;
    FDib = CreateDIBSection(FDC, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    QOV_ASSERT(FDib != nullptr && bits != nullptr);
    FBits = static_cast<uint8_t*>(bits);
    FSavedBitmap = SelectObject(FDC, FDib);
    QOV_ASSERT(FSavedBitmap != nullptr && FSavedBitmap != HGDI_ERROR);
    FCursor = std::make_unique<TVirtualMouse>(FDC);
    FDirty = RECT{};
    FReady = true;
}

void TBackBuffer::Release()
{
    // Also undoes a SetSize that failed half way.
    FCursor.reset();
    if (FDC) {
        if (FSavedBitmap && FSavedBitmap != HGDI_ERROR)
            SelectObject(FDC, FSavedBitmap);
        DeleteDC(FDC);
    }
    if (FWorkDC)
        DeleteDC(FWorkDC);
    if (FDib)
        DeleteObject(FDib);
    FDC = nullptr;
    FWorkDC = nullptr;
    FSavedBitmap = nullptr;
    FDib = nullptr;
    FBits = nullptr;
    FDirty = RECT{};
    FReady = false;
}

void TBackBuffer::GetDirtyRect(RECT& rect, bool clear)
{
    rect = FDirty;
    if (clear)
        FDirty = RECT{};
}

void TBackBuffer::AddDirtyRect(const RECT& rect)
{
    const RECT clipped{std::max<LONG>(rect.left, 0), std::max<LONG>(rect.top, 0),
                       std::min<LONG>(rect.right, Width()), std::min<LONG>(rect.bottom, Height())};
    if (IsEmpty(clipped))
        return;
    if (IsEmpty(FDirty)) {
        FDirty = clipped;
        return;
    }
    FDirty.left = std::min(FDirty.left, clipped.left);
    FDirty.top = std::min(FDirty.top, clipped.top);
    FDirty.right = std::max(FDirty.right, clipped.right);
    FDirty.bottom = std::max(FDirty.bottom, clipped.bottom);
}

void TBackBuffer::AddCursorRect()
{
    QOV_ASSERT(FCursor != nullptr);
    if (FCursor->X() < 0 || FCursor->Y() < 0)
        throw Exception("参数无效");
    AddDirtyRect(FCursor->Rect());
}

void TBackBuffer::DrawFrame(const FrameHeader* record, const void* image, uint32_t imageLength)
{
    QOV_ASSERT(record != nullptr);
    QOV_ASSERT(FReady);
    switch (record->Kind) {
    case fkXorRect:
    case fkKeyFrame:
    case fkCopyRect:
        DrawRectangle(*record, image, imageLength);
        break;
    case fkCursor:
        DrawCursor(*record, image, imageLength);
        break;
    default:
        break;  // markers and unknown kinds draw nothing
    }
}

void TBackBuffer::DrawRectangle(const FrameHeader& record, const void* image, uint32_t imageLength)
{
    QOV_ASSERT(image != nullptr);
    const TDecodedImage picture = CheckedImage(image, imageLength);
    QOV_ASSERT(picture.BitCount != 4);

    const RECT rect{record.Left, record.Top, FarEdge(record.Left, picture.Width),
                    FarEdge(record.Top, picture.Height)};
    // Exclusive-or frames must meet the true picture, never the cursor.
    const bool lifted = FCursor->Drawn() && FCursor->Intersects(rect);
    if (lifted) {
        FCursor->Hide();
        AddCursorRect();
    }
    const DWORD rop = record.Kind == fkXorRect ? SRCINVERT : SRCCOPY;
    if (!PutPixels(picture, record.Left, record.Top, rop == SRCINVERT))
        BlitPicture(picture, record.Left, record.Top, rop);
    AddDirtyRect(rect);

    if (lifted) {
        FCursor->Show(-1, -1);
        AddCursorRect();
    }
    if (record.CursorX > 0 || record.CursorY > 0) {
        AddCursorRect();
        FCursor->Show(record.CursorX, record.CursorY);
        AddCursorRect();
    }
}

bool TBackBuffer::PutPixels(const TDecodedImage& picture, int left, int top, bool invert)
{
    // 24 and 32 bits per pixel without colour masks are the picture's own
    // B, G, R bytes (and one byte more): they are written straight into the
    // picture's memory, exactly as the bitmap copy would put them. Anything
    // else goes through GDI's conversion.
    if (!FDirectWrites || picture.Info->bmiHeader.biSize != sizeof(BITMAPINFOHEADER) ||
        picture.Info->bmiHeader.biCompression != BI_RGB || (picture.BitCount != 24 && picture.BitCount != 32))
        return false;
    // Clipped to the picture as a bitmap copy is; left and top are never
    // negative.
    const int width = left < Width() ? std::min(picture.Width, Width() - left) : 0;
    const int height = top < Height() ? std::min(picture.Height, Height() - top) : 0;
    if (width <= 0 || height <= 0)
        return true;
    const size_t sourceStride = RowBytes(uint32_t(picture.Width), uint32_t(picture.BitCount));
    const auto* rows = static_cast<const uint8_t*>(picture.Rows);
    // GDI may still be drawing into the picture (the lifted cursor).
    GdiFlush();
    for (int y = 0; y < height; ++y) {
        const uint8_t* src = rows + sourceStride * size_t(picture.TopDown ? y : picture.Height - 1 - y);
        uint8_t* dst = FBits + size_t(FStride) * size_t(top + y) + size_t(left) * 3;
        if (picture.BitCount == 24)
            invert ? PutRow24<true>(dst, src, width) : PutRow24<false>(dst, src, width);
        else
            invert ? PutRow32<true>(dst, src, width) : PutRow32<false>(dst, src, width);
    }
    // Complete before GDI reads the picture again (the cursor's save-under).
    GdiFlush();
    return true;
}

void TBackBuffer::BlitPicture(const TDecodedImage& picture, int left, int top, DWORD rop)
{
    // The temporary bitmap of one frame, deleted on every path.
    TBitmapHolder frame(CreateCompatibleBitmap(FDC, picture.Width, picture.Height));
    if (!frame.Get())
        throw Exception(Format("CreateCompatibleBitmap(DC=%d, Width=%d, Height=%d) ErrorCode=%d",
                               int(reinterpret_cast<intptr_t>(FDC)), picture.Width, picture.Height,
                               int(GetLastError())));
    // Rows are set before the bitmap is selected: SetDIBits wants a bitmap
    // that no DC holds. The image's own header says bottom-up or top-down.
    QOV_ASSERT(SetDIBits(FWorkDC, frame.Get(), 0, UINT(picture.Height), picture.Rows, picture.Info,
                         DIB_RGB_COLORS) == picture.Height);
    HGDIOBJ old = SelectObject(FWorkDC, frame.Get());
    QOV_ASSERT(old != nullptr && old != HGDI_ERROR);
    const BOOL copied = BitBlt(FDC, left, top, picture.Width, picture.Height, FWorkDC, 0, 0, rop);
    const DWORD error = GetLastError();
    SelectObject(FWorkDC, old);
    if (!copied)
        throw Exception(Format("BitBlt Left=%d, Top=%d, Width=%d, Height=%d, ErrorCode=%d", left, top,
                               picture.Width, picture.Height, int(error)));
}

void TBackBuffer::DrawCursor(const FrameHeader& record, const void* image, uint32_t imageLength)
{
    if (record.Length > 0) {
        // A damaged shape changes nothing, not even the dirty rectangle.
        CheckedImage(image, imageLength);
        AddCursorRect();
        FCursor->SetShape(image, imageLength);
        AddCursorRect();
    }
    if (record.Left == 0 && record.Top == 0) {
        FCursor->Hide();
        AddCursorRect();
    } else if (record.Left < Width() && record.Top < Height()) {
        AddCursorRect();
        FCursor->Show(record.Left, record.Top);
        AddCursorRect();
    }
}

} // namespace qov
