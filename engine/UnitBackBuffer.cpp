#include "UnitBackBuffer.h"

#include <algorithm>
#include <climits>

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
    const BOOL copied = BitBlt(FDC, record.Left, record.Top, picture.Width, picture.Height, FWorkDC, 0, 0, rop);
    const DWORD error = GetLastError();
    SelectObject(FWorkDC, old);
    if (!copied)
        throw Exception(Format("BitBlt Left=%d, Top=%d, Width=%d, Height=%d, ErrorCode=%d", int(record.Left),
                               int(record.Top), picture.Width, picture.Height, int(error)));
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
