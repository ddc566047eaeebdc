// The picture of the recorded screen as playing has built it so far: a 24-bit
// top-down DIB section in a memory DC, into which the play thread draws each
// decoded frame by its kind, with the software cursor painted on top, and the
// rectangle that changed since it was last taken.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "QovFormat.h"
#include "UnitShare.h"

namespace qov {

class TBackBuffer {
public:
    TBackBuffer();
    ~TBackBuffer();
    TBackBuffer(const TBackBuffer&) = delete;
    TBackBuffer& operator=(const TBackBuffer&) = delete;

    // Releases any picture and builds one of width x height pixels, black,
    // with the cursor at (0, 0), not painted.
    void SetSize(int width, int height);
    // Frees the picture, its DCs and the cursor.
    void Release();

    // Draws one frame record, the caller holding the lock. image is the
    // DecodedFrame of the record's payload (imageLength bytes, the decoder's
    // result), nullptr for a kind-2 record without payload. Kinds 0, 1 and 3
    // draw the rectangle (exclusive or for kind 0) with the cursor lifted
    // while it overlaps, then move the cursor to the record's cursor position
    // when one is given; kind 2 changes the cursor's shape and position;
    // other kinds draw nothing.
    void DrawFrame(const FrameHeader* record, const void* image, uint32_t imageLength);

    // Copies the dirty rectangle out (all zero when nothing changed); empties
    // it when clear is true.
    void GetDirtyRect(RECT& rect, bool clear);
    // Unites rect, clipped to the picture, with the dirty rectangle; an empty
    // rectangle adds nothing.
    void AddDirtyRect(const RECT& rect);
    // Adds the cursor's rectangle at its stored position.
    void AddCursorRect();

    // Held while drawing (play thread) and while pixels are read (control).
    void Lock() { EnterCriticalSection(&FLock); }
    void Unlock() { LeaveCriticalSection(&FLock); }

    bool Ready() const { return FReady; }
    HDC DC() const { return FDC; }
    uint8_t* Bits() const { return FBits; }  // top row first, B, G, R
    int Stride() const { return FStride; }
    int BytesPerPixel() const { return FBytesPerPixel; }
    int Width() const { return FReady ? FInfo.biWidth : 0; }
    int Height() const { return FReady ? -FInfo.biHeight : 0; }
    int BitsPerPixel() const { return FBitsPerPixel; }
    TVirtualMouse* Cursor() const { return FCursor.get(); }

    // Rectangles of 24 and 32 bits per pixel are written straight into the
    // picture's memory; with false every rectangle goes through GDI (tests
    // compare the two).
    void SetDirectWrites(bool on) { FDirectWrites = on; }

private:
    void DrawRectangle(const FrameHeader& record, const void* image, uint32_t imageLength);
    void DrawCursor(const FrameHeader& record, const void* image, uint32_t imageLength);
    // Writes the rectangle's pixels at (left, top) straight into the picture;
    // false, with nothing drawn, for pictures only GDI converts.
    bool PutPixels(const TDecodedImage& picture, int left, int top, bool invert);
    // Draws the rectangle through a temporary bitmap and BitBlt.
    void BlitPicture(const TDecodedImage& picture, int left, int top, DWORD rop);

    bool FReady = false;
    HDC FDC = nullptr;
    HGDIOBJ FSavedBitmap = nullptr;
    HDC FWorkDC = nullptr;
    std::unique_ptr<TVirtualMouse> FCursor;
    RECT FDirty{};
    BITMAPINFOHEADER FInfo{};
    int FStride = 0;
    int FBytesPerPixel = 3;
    HBITMAP FDib = nullptr;
    uint8_t* FBits = nullptr;
    CRITICAL_SECTION FLock;
    int FBitsPerPixel = 24;
    bool FDirectWrites = true;
};

} // namespace qov
