// The frame decoder as the engine and the control see it: the eight functions
// that QovPlayer.ocx exports, bound by name to the library's own exports (the
// library imports them from its own file), plus the decoder's error report.
//
// Calling convention for every caller, inside or outside the system:
//   __stdcall, exported under the undecorated names below.
//   Booleans are 32-bit values, 1 for true and 0 for false (a caller that reads
//   only the low byte sees the same answer).
//   Sizes are unsigned 32-bit, results signed 32-bit.
//   No C++ exception leaves an export. UnZipBuffer and UnZipBufferEx return
//   -1 for a damaged LZO1X block (as Decompress does) and kDecodeFailed (-2)
//   when decoding raised a failure; GetDecoderError then tells its class and
//   message for the calling thread.
//   Decompress, which is given no output size, writes at most 0xA00000 bytes
//   (the shared buffer's size) and returns -1 for a block that needs more.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "SysUtils.h"

extern "C" {
__declspec(dllimport) BOOL __stdcall InitDecoder();
__declspec(dllimport) BOOL __stdcall UninitDecoder();
__declspec(dllimport) void __stdcall LockOutputBuffer();
__declspec(dllimport) void __stdcall UnlockOutputBuffer();
__declspec(dllimport) int __stdcall UnZipBuffer(const void* data, uint32_t size, uint16_t compressType,
                                                void* outBuf, uint32_t outSize);
__declspec(dllimport) int __stdcall UnZipBufferEx(const void* data, uint32_t size, uint16_t compressType,
                                                  void** outBuf, uint32_t outSize);
__declspec(dllimport) BOOL __stdcall CheckQovFileHeader(const void* header);
__declspec(dllimport) int __stdcall Decompress(const void* src, uint32_t srcLen, void* dst);
// Class (DecoderErrorClass) of the failure of this thread's last UnZipBuffer or
// UnZipBufferEx call, decNone when that call did not fail; its message is
// copied into text (at most size bytes, 0-terminated; text may be nil).
__declspec(dllimport) int __stdcall GetDecoderError(char* text, uint32_t size);
}

namespace qov {

constexpr int kDecodeFailed = -2;

enum DecoderErrorClass : int {
    decNone = 0,
    decGeneral = 1,         // "输出缓冲区太小", "不支持这种图象压缩格式!" and other plain failures
    decJPEG = 2,            // EJPEG
    decZlib = 3,            // EZlibError
    decDecompression = 4,   // EDecompressionError
};

// The decoder's failures, raised again in the caller's own module.
class EDecoder : public Exception { using Exception::Exception; };
class EJPEGFailure : public EDecoder { using EDecoder::EDecoder; };
class EZlibFailure : public EDecoder { using EDecoder::EDecoder; };
class EDecompressionFailure : public EZlibFailure { using EZlibFailure::EZlibFailure; };

// Reads this thread's decoder failure and raises it as one of the classes above.
[[noreturn]] void RaiseDecoderError();

// UnZipBuffer / UnZipBufferEx through the exports, raising the decoder's
// failures here instead of returning kDecodeFailed. -1 (damaged LZO1X block)
// is returned unchanged.
int DecodePayload(const void* data, uint32_t size, uint16_t compressType, void* outBuf, uint32_t outSize);
int DecodePayloadEx(const void* data, uint32_t size, uint16_t compressType, void** outBuf, uint32_t outSize);

// Holds the decoder's output lock for a scope.
class TOutputLock {
public:
    TOutputLock() { LockOutputBuffer(); }
    ~TOutputLock() { UnlockOutputBuffer(); }
    TOutputLock(const TOutputLock&) = delete;
    TOutputLock& operator=(const TOutputLock&) = delete;
};

} // namespace qov

// ---------------------------------------------------------------------------
// The software cursor and the checked view of a decoded picture that the back
// buffer and the cursor hand to GDI.

namespace qov {

// A DecodedFrame (BMP file image) whose headers have been checked against its
// length: everything GDI will read (information header, masks, colour table,
// pixel rows) lies inside the image.
struct TDecodedImage {
    const BITMAPINFO* Info = nullptr;  // the image's own information header
    const void* Rows = nullptr;        // first byte of the pixel rows (pixel offset)
    int Width = 0;
    int Height = 0;                    // rows, always positive
    bool TopDown = false;              // stored height was negative
    int BitCount = 0;
};

// Checks a decoded picture before anything reads it; a damaged or
// unsupported one (bad magic, sizes, offsets or rows outside length, unknown
// bits per pixel or compression) is an assertion error.
TDecodedImage CheckedImage(const void* image, uint32_t length);

// A GDI bitmap deleted with the scope unless kept.
class TBitmapHolder {
public:
    explicit TBitmapHolder(HBITMAP bitmap) : FBitmap(bitmap) {}
    ~TBitmapHolder()
    {
        if (FBitmap)
            DeleteObject(FBitmap);
    }
    TBitmapHolder(const TBitmapHolder&) = delete;
    TBitmapHolder& operator=(const TBitmapHolder&) = delete;
    HBITMAP Get() const { return FBitmap; }
    HBITMAP Keep()
    {
        HBITMAP b = FBitmap;
        FBitmap = nullptr;
        return b;
    }

private:
    HBITMAP FBitmap;
};

// The cursor painted into the back buffer's picture. Pure red, RGB(255, 0, 0),
// is transparent in every cursor image. At first the image is the engine's
// bitmap resource "BMPMOUSE" (44 x 44, 16 colours), loaded from the module
// that holds this code; kind-2 frames replace it.
class TVirtualMouse {
public:
    // dc: the picture's device context (not owned).
    explicit TVirtualMouse(HDC dc);
    ~TVirtualMouse();
    TVirtualMouse(const TVirtualMouse&) = delete;
    TVirtualMouse& operator=(const TVirtualMouse&) = delete;

    // Paints the cursor with its top-left corner at (x, y), saving what lies
    // under it first; (-1, -1) means the stored position. Nothing when it is
    // already painted there; painted elsewhere, it is lifted first.
    void Show(int x = -1, int y = -1);
    // Puts back what lay under the cursor, when it is painted.
    void Hide();
    // Whether the cursor's rectangle at its stored position overlaps rect.
    bool Intersects(const RECT& rect) const;
    // Lifts the cursor and takes the decoded picture (BMP file image of
    // length bytes) as its new image. A picture of the same size is written
    // into the present image; another size makes new bitmaps. Does not paint.
    void SetShape(const void* image, uint32_t length);

    bool Drawn() const { return FDrawn; }
    int X() const { return FX; }
    int Y() const { return FY; }
    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    RECT Rect() const { return RECT{FX, FY, FX + FWidth, FY + FHeight}; }
    HBITMAP Image() const { return FImage; }
    HBITMAP SaveUnder() const { return FSaveUnder; }

private:
    bool FDrawn = false;
    int FWidth = 0;
    int FHeight = 0;
    HBITMAP FSaveUnder = nullptr;
    HBITMAP FImage = nullptr;
    HDC FDC = nullptr;
    int FX = 0;
    int FY = 0;
};

} // namespace qov
