#include "ReferenceRenderer.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace qov::test {

namespace {

uint32_t Le16(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}

uint32_t Le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool Fail(std::string* why, const char* text)
{
    if (why)
        *why = text;
    return false;
}

// One colour channel under a mask, widened to 8 bits by repeating its high
// bits once (GDI's rule; 5 bits: v << 3 | v >> 2).
struct Channel {
    uint32_t Mask = 0;
    int Shift = 0;
    int Bits = 0;

    explicit Channel(uint32_t mask) : Mask(mask)
    {
        if (!mask)
            return;
        while (!((mask >> Shift) & 1))
            ++Shift;
        while (Shift + Bits < 32 && ((mask >> (Shift + Bits)) & 1))
            ++Bits;
    }

    uint32_t Get(uint32_t pixel) const
    {
        if (!Mask)
            return 0;
        uint32_t v = (pixel & Mask) >> Shift;
        if (Bits >= 8)
            return (v >> (Bits - 8)) & 0xFF;
        v <<= 8 - Bits;
        return (v | v >> Bits) & 0xFF;
    }
};

// info: the information header; end: the end of the data; rows: where the
// pixel rows start (nullptr: right after the colour table).
bool Decode(const uint8_t* info, const uint8_t* end, const uint8_t* rows, RefImage& out, std::string* why)
{
    if (end - info < 40)
        return Fail(why, "information header cut short");
    const uint32_t infoSize = Le32(info);
    if (infoSize < 40 || uint64_t(end - info) < infoSize)
        return Fail(why, "information header size");
    const int32_t width = int32_t(Le32(info + 4));
    const int32_t height = int32_t(Le32(info + 8));
    const uint32_t bits = Le16(info + 14);
    const uint32_t compression = Le32(info + 16);
    const uint32_t used = Le32(info + 32);
    if (width <= 0 || height == 0 || height < -0x7FFFFFFF || Le16(info + 12) != 1)
        return Fail(why, "size or planes");
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
        return Fail(why, "bits per pixel");
    const uint8_t* table = info + infoSize;
    uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};
    if (bits == 32) {
        masks[0] = 0xFF0000;
        masks[1] = 0x00FF00;
        masks[2] = 0x0000FF;
    }
    if (compression == 3 && (bits == 16 || bits == 32)) {
        const uint8_t* m = infoSize == 40 ? table : info + 40;
        if (infoSize == 40)
            table += 12;
        if (m + 12 > end)
            return Fail(why, "masks cut short");
        for (int i = 0; i < 3; ++i)
            masks[i] = Le32(m + 4 * i);
    } else if (compression != 0) {
        return Fail(why, "compression");
    }
    uint32_t colors = std::min<uint32_t>(used, 256);
    if (!colors && bits <= 8)
        colors = 1u << bits;
    if (uint64_t(end - table) < uint64_t(colors) * 4)
        return Fail(why, "colour table cut short");
    std::vector<uint32_t> palette;
    if (bits <= 8) {
        palette.assign(size_t(1) << bits, 0);
        for (uint32_t i = 0; i < colors && i < palette.size(); ++i)
            palette[i] = uint32_t(table[4 * i + 2]) << 16 | uint32_t(table[4 * i + 1]) << 8 | table[4 * i];
    }
    if (!rows)
        rows = table + colors * 4;
    const int h = height < 0 ? -height : height;
    const uint64_t stride = (uint64_t(width) * bits + 31) / 32 * 4;
    if (rows < info || rows > end || uint64_t(end - rows) < stride * uint64_t(h))
        return Fail(why, "rows outside the data");

    const Channel red(masks[0]), green(masks[1]), blue(masks[2]);
    out.Width = width;
    out.Height = h;
    out.Palette = palette;
    out.Pixels.assign(size_t(width) * size_t(h), 0);
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = rows + stride * uint64_t(height < 0 ? y : h - 1 - y);
        for (int x = 0; x < width; ++x) {
            uint32_t c = 0;
            switch (bits) {
            case 1:
                c = palette[(row[x / 8] >> (7 - x % 8)) & 1];
                break;
            case 4:
                c = palette[(row[x / 2] >> (x % 2 ? 0 : 4)) & 15];
                break;
            case 8:
                c = palette[row[x]];
                break;
            case 16: {
                const uint32_t p = Le16(row + 2 * x);
                c = red.Get(p) << 16 | green.Get(p) << 8 | blue.Get(p);
                break;
            }
            case 24:
                c = uint32_t(row[3 * x + 2]) << 16 | uint32_t(row[3 * x + 1]) << 8 | row[3 * x];
                break;
            case 32: {
                const uint32_t p = Le32(row + 4 * x);
                c = red.Get(p) << 16 | green.Get(p) << 8 | blue.Get(p);
                break;
            }
            }
            out.Pixels[size_t(y) * size_t(width) + size_t(x)] = c;
        }
    }
    return true;
}

// GDI's match of a colour to a colour table: channels cut to 5 bits (and
// centred), then the nearest entry, the first of equals.
uint32_t NearestColor(const std::vector<uint32_t>& palette, uint32_t rgb)
{
    const int r = int((rgb >> 16) & 0xF8) + 4, g = int((rgb >> 8) & 0xF8) + 4, b = int(rgb & 0xF8) + 4;
    uint32_t best = palette[0];
    long bestDiff = -1;
    for (uint32_t p : palette) {
        const int dr = r - int(p >> 16 & 0xFF), dg = g - int(p >> 8 & 0xFF), db = b - int(p & 0xFF);
        const long diff = long(dr) * dr + long(dg) * dg + long(db) * db;
        if (bestDiff < 0 || diff < bestDiff) {
            bestDiff = diff;
            best = p;
        }
    }
    return best;
}

} // namespace

bool DecodeBmpImage(const void* data, size_t size, RefImage& out, std::string* why)
{
    const auto* b = static_cast<const uint8_t*>(data);
    if (!b || size < 54 || b[0] != 'B' || b[1] != 'M')
        return Fail(why, "not a BMP file image");
    const uint32_t offset = Le32(b + 10);
    if (offset > size)
        return Fail(why, "pixel offset past the end");
    return Decode(b + 14, b + size, b + offset, out, why);
}

bool DecodePackedDib(const void* data, size_t size, RefImage& out, std::string* why)
{
    const auto* b = static_cast<const uint8_t*>(data);
    if (!b)
        return Fail(why, "no data");
    return Decode(b, b + size, nullptr, out, why);
}

std::string ToString(const RefRect& r)
{
    char text[80];
    std::snprintf(text, sizeof text, "(%d, %d, %d, %d)", r.Left, r.Top, r.Right, r.Bottom);
    return text;
}

ReferenceRenderer::ReferenceRenderer(int width, int height, RefImage cursor)
    : FWidth(width),
      FHeight(height),
      FStride((3 * width + 3) & ~3),
      FBits(size_t(FStride) * size_t(height), 0),
      FCursor(std::move(cursor))
{
    FSaveUnder.assign(FCursor.Pixels.size(), 0);
}

uint32_t ReferenceRenderer::Pixel(int x, int y) const
{
    const uint8_t* p = FBits.data() + size_t(y) * FStride + size_t(x) * 3;
    return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

void ReferenceRenderer::SetPixel(int x, int y, uint32_t rgb)
{
    uint8_t* p = FBits.data() + size_t(y) * FStride + size_t(x) * 3;
    p[0] = uint8_t(rgb);
    p[1] = uint8_t(rgb >> 8);
    p[2] = uint8_t(rgb >> 16);
}

void ReferenceRenderer::AddDirtyRect(const RefRect& r)
{
    const RefRect c{std::max(r.Left, 0), std::max(r.Top, 0), std::min(r.Right, FWidth), std::min(r.Bottom, FHeight)};
    if (c.Empty())
        return;
    if (FDirty.Empty()) {
        FDirty = c;
        return;
    }
    FDirty = {std::min(FDirty.Left, c.Left), std::min(FDirty.Top, c.Top), std::max(FDirty.Right, c.Right),
              std::max(FDirty.Bottom, c.Bottom)};
}

RefRect ReferenceRenderer::TakeDirtyRect(bool clear)
{
    const RefRect r = FDirty;
    if (clear)
        FDirty = {};
    return r;
}

void ReferenceRenderer::ShowCursor(int x, int y)
{
    if (x == -1 && y == -1) {
        x = FX;
        y = FY;
    }
    if (FDrawn) {
        if (x == FX && y == FY)
            return;
        HideCursor();
    }
    for (int j = 0; j < FCursor.Height; ++j) {
        for (int i = 0; i < FCursor.Width; ++i) {
            const int px = x + i, py = y + j;
            if (px < 0 || py < 0 || px >= FWidth || py >= FHeight)
                continue;
            FSaveUnder[size_t(j) * FCursor.Width + i] = Pixel(px, py);
            const uint32_t c = FCursor.At(i, j);
            if (c != 0xFF0000)
                SetPixel(px, py, c);
        }
    }
    FX = x;
    FY = y;
    FDrawn = true;
}

void ReferenceRenderer::HideCursor()
{
    if (!FDrawn)
        return;
    for (int j = 0; j < FCursor.Height; ++j) {
        for (int i = 0; i < FCursor.Width; ++i) {
            const int px = FX + i, py = FY + j;
            if (px >= 0 && py >= 0 && px < FWidth && py < FHeight)
                SetPixel(px, py, FSaveUnder[size_t(j) * FCursor.Width + i]);
        }
    }
    FDrawn = false;
}

void ReferenceRenderer::SetCursorShape(const RefImage& shape)
{
    HideCursor();
    if (shape.Width == FCursor.Width && shape.Height == FCursor.Height) {
        for (size_t i = 0; i < shape.Pixels.size(); ++i)
            FCursor.Pixels[i] = FCursor.Palette.empty() ? shape.Pixels[i] : NearestColor(FCursor.Palette, shape.Pixels[i]);
        return;
    }
    // A new image in the picture's own format: true colour.
    FCursor = shape;
    FCursor.Palette.clear();
    FSaveUnder.assign(FCursor.Pixels.size(), 0);
}

void ReferenceRenderer::DrawFrame(const FrameHeader& record, const void* image, size_t length)
{
    auto decode = [&](RefImage& out) {
        std::string why;
        if (!DecodeBmpImage(image, length, out, &why))
            throw std::invalid_argument("ReferenceRenderer: " + why);
    };
    auto addCursor = [&] { AddDirtyRect(CursorRect()); };

    if (record.Kind == fkXorRect || record.Kind == fkKeyFrame || record.Kind == fkCopyRect) {
        RefImage pic;
        decode(pic);
        const RefRect rect{record.Left, record.Top, record.Left + pic.Width, record.Top + pic.Height};
        const RefRect cur = CursorRect();
        const bool overlaps = cur.Left < rect.Right && rect.Left < cur.Right && cur.Top < rect.Bottom &&
                              rect.Top < cur.Bottom && !cur.Empty();
        const bool lifted = FDrawn && overlaps;
        if (lifted) {
            HideCursor();
            addCursor();
        }
        for (int y = 0; y < pic.Height && record.Top + y < FHeight; ++y) {
            for (int x = 0; x < pic.Width && record.Left + x < FWidth; ++x) {
                const uint32_t c = pic.At(x, y);
                const int px = record.Left + x, py = record.Top + y;
                SetPixel(px, py, record.Kind == fkXorRect ? (Pixel(px, py) ^ c) : c);
            }
        }
        AddDirtyRect(rect);
        if (lifted) {
            ShowCursor();
            addCursor();
        }
        if (record.CursorX > 0 || record.CursorY > 0) {
            addCursor();
            ShowCursor(record.CursorX, record.CursorY);
            addCursor();
        }
    } else if (record.Kind == fkCursor) {
        if (record.Length > 0) {
            RefImage shape;
            decode(shape);
            addCursor();
            SetCursorShape(shape);
            addCursor();
        }
        if (record.Left == 0 && record.Top == 0) {
            HideCursor();
            addCursor();
        } else if (record.Left < FWidth && record.Top < FHeight) {
            addCursor();
            ShowCursor(record.Left, record.Top);
            addCursor();
        }
    }
}

std::string ReferenceRenderer::Compare(const uint8_t* bits, int stride) const
{
    std::string report;
    int differences = 0;
    for (int y = 0; y < FHeight; ++y) {
        for (int x = 0; x < FWidth; ++x) {
            const uint8_t* p = bits + size_t(y) * size_t(stride) + size_t(x) * 3;
            const uint32_t got = uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
            const uint32_t want = Pixel(x, y);
            if (got == want)
                continue;
            if (++differences <= 8) {
                char line[96];
                std::snprintf(line, sizeof line, "(%d, %d): %06X, expected %06X\n", x, y, unsigned(got),
                              unsigned(want));
                report += line;
            }
        }
    }
    if (differences > 8)
        report += std::to_string(differences) + " pixels differ\n";
    return report;
}

} // namespace qov::test
