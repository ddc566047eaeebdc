// A software model of the back buffer, written without GDI: it draws frame
// records onto a 24-bit B,G,R top-down picture with rows padded to 4 bytes
// (the back buffer's own layout) and keeps the cursor (red transparent, with
// what lies under it saved) and the dirty rectangle the same way. Tests draw
// the same records into a TBackBuffer and compare pixels and rectangles.
//
//   ReferenceRenderer ref(width, height, cursorImage);
//   ref.DrawFrame(header, image, imageLength);     // as TBackBuffer::DrawFrame
//   std::string diff = ref.Compare(backBuffer.Bits(), backBuffer.Stride());
//   RefRect dirty = ref.TakeDirtyRect(true);
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "QovFormat.h"

namespace qov::test {

// A picture as 0xRRGGBB pixels, rows top-down. Palette pictures keep their
// colour table, so that pixels written into them can be matched to it.
struct RefImage {
    int Width = 0;
    int Height = 0;
    std::vector<uint32_t> Pixels;
    std::vector<uint32_t> Palette;  // 0xRRGGBB; empty for true-colour pictures

    uint32_t At(int x, int y) const { return Pixels[size_t(y) * size_t(Width) + size_t(x)]; }
};

// Reads a BMP file image ("BM", information header, masks, colour table,
// rows) of 1, 4, 8, 16, 24 or 32 bits per pixel, BI_RGB or (16 and 32 bits)
// BI_BITFIELDS, bottom-up or top-down, into pixels the way GDI widens them:
// channels narrower than 8 bits repeat their high bits, colour indices past
// the table give black. False, with the reason in why, for anything else.
bool DecodeBmpImage(const void* data, size_t size, RefImage& out, std::string* why = nullptr);
// The same for a packed DIB (information header onwards), the form of a
// bitmap resource.
bool DecodePackedDib(const void* data, size_t size, RefImage& out, std::string* why = nullptr);

struct RefRect {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;

    bool Empty() const { return Left >= Right || Top >= Bottom; }
    bool operator==(const RefRect&) const = default;
};
std::string ToString(const RefRect& r);

class ReferenceRenderer {
public:
    // A black picture with the cursor at (0, 0), not painted.
    ReferenceRenderer(int width, int height, RefImage cursor);

    // Draws one record: kinds 0 (exclusive or), 1 and 3 (copied) rectangles
    // with the cursor lifted while it overlaps and moved afterwards to the
    // record's cursor position when one is given; kind 2 changes the cursor's
    // shape (image given) and position; other kinds draw nothing. image must
    // be a picture DecodeBmpImage reads (std::invalid_argument otherwise).
    void DrawFrame(const FrameHeader& record, const void* image, size_t length);

    // The cursor, as the back buffer's TVirtualMouse handles it.
    void ShowCursor(int x = -1, int y = -1);
    void HideCursor();
    // A new image; the same size is written into a palette image by nearest
    // colour (ties to the lower index), as GDI does.
    void SetCursorShape(const RefImage& shape);

    void AddDirtyRect(const RefRect& r);
    RefRect TakeDirtyRect(bool clear);

    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    int Stride() const { return FStride; }
    const std::vector<uint8_t>& Bits() const { return FBits; }
    uint32_t Pixel(int x, int y) const;  // 0xRRGGBB
    void SetPixel(int x, int y, uint32_t rgb);

    bool CursorDrawn() const { return FDrawn; }
    int CursorX() const { return FX; }
    int CursorY() const { return FY; }
    const RefImage& CursorImage() const { return FCursor; }
    RefRect CursorRect() const { return {FX, FY, FX + FCursor.Width, FY + FCursor.Height}; }

    // "" when bits (rows of stride bytes, same size) hold the same picture,
    // else where the first differences are.
    std::string Compare(const uint8_t* bits, int stride) const;

private:
    int FWidth;
    int FHeight;
    int FStride;
    std::vector<uint8_t> FBits;
    RefRect FDirty;
    RefImage FCursor;
    std::vector<uint32_t> FSaveUnder;
    bool FDrawn = false;
    int FX = 0;
    int FY = 0;
};

} // namespace qov::test
