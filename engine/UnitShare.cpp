// The software cursor painted into the back buffer's picture, and the check
// every decoded picture passes before GDI reads it.
#include "UnitShare.h"

#include "QovFormat.h"
#include "UnitDecoder.h"

namespace qov {

namespace {

uint16_t Get16(const uint8_t* b, size_t at)
{
    return uint16_t(b[at] | b[at + 1] << 8);
}

uint32_t Get32(const uint8_t* b, size_t at)
{
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

constexpr uint32_t kFileHeaderSize = 14;

// What GDI reads beyond the decoder's own test of a picture: SetDIBits and
// CreateDIBitmap take as many colour-table entries as the header names (at
// most 256) even for pictures of more than 8 bits per pixel, right after the
// information header (and the masks). Returns why they would run past the
// image, or "" when they stay inside.
std::string ColourTableFault(const uint8_t* b, uint32_t length)
{
    const uint32_t infoSize = Get32(b, 14);
    const uint16_t bits = Get16(b, 28);
    const uint32_t used = Get32(b, 46);
    if (bits <= 8 || used == 0)
        return {};  // the decoder's test covers palette pictures
    uint64_t end = uint64_t(kFileHeaderSize) + infoSize;
    if (Get32(b, 30) == BI_BITFIELDS && infoSize == sizeof(BITMAPINFOHEADER))
        end += 3 * sizeof(DWORD);
    end += uint64_t(used < 256 ? used : 256) * sizeof(RGBQUAD);
    if (end > length || end > Get32(b, 2))
        return Format("%u colours named at %u bits per pixel run past the image", used, bits);
    return {};
}

// A memory DC for one drawing step; puts back what it held and is deleted on
// every path.
class TScratchDC {
public:
    explicit TScratchDC(HDC compatible) : FDC(CreateCompatibleDC(compatible)) { QOV_ASSERT(FDC != nullptr); }
    ~TScratchDC()
    {
        if (FOld)
            SelectObject(FDC, FOld);
        DeleteDC(FDC);
    }
    TScratchDC(const TScratchDC&) = delete;
    TScratchDC& operator=(const TScratchDC&) = delete;
    void Select(HBITMAP bitmap)
    {
        HGDIOBJ old = SelectObject(FDC, bitmap);
        QOV_ASSERT(old != nullptr && old != HGDI_ERROR);
        if (!FOld)
            FOld = old;
    }
    HDC Handle() const { return FDC; }

private:
    HDC FDC;
    HGDIOBJ FOld = nullptr;
};

// Its address names the module that holds the engine (a test program or
// QovPlayer.ocx), whose resources hold "BMPMOUSE".
void EngineModuleMarker() {}

HMODULE EngineModule()
{
    HMODULE module = nullptr;
    QOV_ASSERT(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                  reinterpret_cast<LPCSTR>(&EngineModuleMarker), &module));
    return module;
}

constexpr COLORREF kTransparent = RGB(255, 0, 0);

} // namespace

TDecodedImage CheckedImage(const void* image, uint32_t length)
{
    QOV_ASSERT(image != nullptr);
    const auto* b = static_cast<const uint8_t*>(image);
    std::string fault;
    if (decoder::CheckDecodedFrame(image, length, &fault))
        fault = ColourTableFault(b, length);
    if (!fault.empty())
        throw EAssertionFailed(Format("Assertion failed (damaged picture: %s)", fault.c_str()));
    TDecodedImage result;
    result.Info = reinterpret_cast<const BITMAPINFO*>(b + kFileHeaderSize);
    result.Rows = b + Get32(b, 10);
    result.Width = int32_t(Get32(b, 18));
    const int32_t height = int32_t(Get32(b, 22));
    result.Height = height < 0 ? -height : height;
    result.TopDown = height < 0;
    result.BitCount = Get16(b, 28);
    return result;
}

TVirtualMouse::TVirtualMouse(HDC dc) : FDC(dc)
{
    TBitmapHolder image(static_cast<HBITMAP>(
        LoadImageA(EngineModule(), "BMPMOUSE", IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
    QOV_ASSERT(image.Get() != nullptr);
    BITMAP info{};
    QOV_ASSERT(GetObjectA(image.Get(), sizeof(info), &info) == sizeof(info));
    TBitmapHolder saveUnder(CreateCompatibleBitmap(dc, info.bmWidth, info.bmHeight));
    QOV_ASSERT(saveUnder.Get() != nullptr);
    FWidth = info.bmWidth;
    FHeight = info.bmHeight;
    FImage = image.Keep();
    FSaveUnder = saveUnder.Keep();
}

TVirtualMouse::~TVirtualMouse()
{
    DeleteObject(FImage);
    DeleteObject(FSaveUnder);
}

void TVirtualMouse::Show(int x, int y)
{
    if (x == -1 && y == -1) {
        x = FX;
        y = FY;
    }
    if (FDrawn) {
        if (x == FX && y == FY)
            return;
        Hide();
    }
    TScratchDC scratch(FDC);
    scratch.Select(FSaveUnder);
    QOV_ASSERT(BitBlt(scratch.Handle(), 0, 0, FWidth, FHeight, FDC, x, y, SRCCOPY));
    scratch.Select(FImage);
    QOV_ASSERT(TransparentBlt(FDC, x, y, FWidth, FHeight, scratch.Handle(), 0, 0, FWidth, FHeight, kTransparent));
    FX = x;
    FY = y;
    FDrawn = true;
}

void TVirtualMouse::Hide()
{
    if (!FDrawn)
        return;
    TScratchDC scratch(FDC);
    scratch.Select(FSaveUnder);
    QOV_ASSERT(BitBlt(FDC, FX, FY, FWidth, FHeight, scratch.Handle(), 0, 0, SRCCOPY));
    FDrawn = false;
}

bool TVirtualMouse::Intersects(const RECT& rect) const
{
    const RECT cursor = Rect();
    return cursor.left < rect.right && rect.left < cursor.right && cursor.top < rect.bottom &&
           rect.top < cursor.bottom && cursor.left < cursor.right && cursor.top < cursor.bottom &&
           rect.left < rect.right && rect.top < rect.bottom;
}

void TVirtualMouse::SetShape(const void* image, uint32_t length)
{
    const TDecodedImage shape = CheckedImage(image, length);
    Hide();
    if (shape.Width == FWidth && shape.Height == FHeight) {
        const int written = SetDIBits(FDC, FImage, 0, UINT(FHeight), shape.Rows, shape.Info, DIB_RGB_COLORS);
        if (written < FHeight)
            OutputDebugStringA(Format("QovPlayer.ocx->SetDIBits ErrorCode = %d", int(GetLastError())).c_str());
        return;
    }
    TBitmapHolder newImage(
        CreateDIBitmap(FDC, &shape.Info->bmiHeader, CBM_INIT, shape.Rows, shape.Info, DIB_RGB_COLORS));
    QOV_ASSERT(newImage.Get() != nullptr);
    TBitmapHolder newSaveUnder(CreateCompatibleBitmap(FDC, shape.Width, shape.Height));
    QOV_ASSERT(newSaveUnder.Get() != nullptr);
    DeleteObject(FImage);
    DeleteObject(FSaveUnder);
    FImage = newImage.Keep();
    FSaveUnder = newSaveUnder.Keep();
    FWidth = shape.Width;
    FHeight = shape.Height;
}

} // namespace qov
