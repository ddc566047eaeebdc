#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "PictureLayout.h"
#include "UnitScale.h"

using namespace qov;

namespace {

// A 24-bit bitmap of exactly its rows (so the sanitizers see any stray
// access), top-down or bottom-up, with optional padding after each row.
struct TBitmap {
    int32_t Width, Height;
    ptrdiff_t RowBytes;
    bool BottomUp;
    std::vector<uint8_t> Bytes;

    TBitmap(int32_t w, int32_t h, int padding, bool bottomUp, std::mt19937& rng)
        : Width(w), Height(h), RowBytes(w * 3 + padding), BottomUp(bottomUp), Bytes(RowBytes * h)
    {
        for (uint8_t& b : Bytes)
            b = static_cast<uint8_t>(rng());
    }
    uint8_t* Row0() { return BottomUp ? Bytes.data() + RowBytes * (Height - 1) : Bytes.data(); }
    ptrdiff_t Stride() const { return BottomUp ? -RowBytes : RowBytes; }
    TDestPixels Dest() { return {Row0(), Stride(), Width, Height}; }
    TSourcePixels Source() { return {Row0(), Stride(), Width, Height}; }
    uint8_t* At(int64_t x, int64_t y) { return Row0() + y * Stride() + x * 3; }
};

// The interpolation exactly as written, in 64-bit signed arithmetic, reading
// samples clamped to the last column and row.
void ReferenceScale(TBitmap& out, const TPixelRect& d, const TPixelRect& s, TBitmap& in)
{
    if (d.Empty() || s.Empty() || d.Right <= 1 || d.Bottom <= 1 || d.Left < 0 || d.Top < 0 || s.Left < 0 ||
        s.Top < 0)
        return;
    const int64_t dx = d.Right - 1, dy = d.Bottom - 1;
    for (int64_t y = d.Top; y < std::min(d.Bottom, out.Height); ++y) {
        const int64_t u = y * (s.Bottom - 1), row = u / dy, fy = u % dy;
        const int64_t upper = std::min<int64_t>(row, in.Height - 1);
        const int64_t lower = fy != 0 ? std::min<int64_t>(row + 1, in.Height - 1) : upper;
        for (int64_t k = 0; k < std::min(d.Right, out.Width) - d.Left; ++k) {
            const int64_t c = k * (s.Right - 1), col = s.Left + c / dx, fx = c % dx;
            const int64_t left = std::min<int64_t>(col, in.Width - 1);
            const int64_t right = fx != 0 ? std::min<int64_t>(col + 1, in.Width - 1) : left;
            const int64_t wx = dx - fx, wy = dy - fy;
            for (int b = 0; b < 3; ++b) {
                const int64_t tl = in.At(left, upper)[b], tr = in.At(right, upper)[b];
                const int64_t bl = in.At(left, lower)[b], br = in.At(right, lower)[b];
                const int64_t v = (wy * wx * (tl - tr - bl + br) + dx * wy * tr + dy * wx * bl +
                                   (dx * dy - dy * wx - dx * wy) * br + (dx * dy) / 2) /
                                  (dx * dy);
                out.At(d.Left + k, y)[b] = static_cast<uint8_t>(v);
            }
        }
    }
}

// Scales with both the scaler and the reference into copies of the same
// picture and compares every byte.
void ExpectSameAsReference(TBitmap& picture, const TPixelRect& d, const TPixelRect& s, TBitmap& backBuffer)
{
    TBitmap expected = picture;
    ReferenceScale(expected, d, s, backBuffer);
    ASSERT_TRUE(ScaleBlockBilinear(picture.Dest(), d, s, backBuffer.Source()));
    ASSERT_TRUE(picture.Bytes == expected.Bytes)
        << "dest (" << d.Left << "," << d.Top << ")-(" << d.Right << "," << d.Bottom << ") src (" << s.Left
        << "," << s.Top << ")-(" << s.Right << "," << s.Bottom << ") buffer " << backBuffer.Width << "x"
        << backBuffer.Height << " picture " << picture.Width << "x" << picture.Height;
}

} // namespace

// Random sizes and rectangles, consistent or not, inside the bitmaps or past
// them, empty and inverted, both row orders: the same bytes as the formula,
// nothing written outside the block, nothing read outside the back buffer.
TEST(ScaleBlockBilinear, MatchesTheFormulaOnRandomBlocks)
{
    std::mt19937 rng(12);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int i = 0; i < 400; ++i) {
        TBitmap buffer(pick(1, 260), pick(1, 200), pick(0, 5), false, rng);
        TBitmap picture(pick(1, 260), pick(1, 200), pick(0, 5), pick(0, 1) == 1, rng);
        TPixelRect s{pick(0, 280), pick(0, 220), pick(0, 300), pick(0, 240)};
        TPixelRect d{pick(0, 200), pick(0, 160), pick(0, 280), pick(0, 220)};
        if (i % 2 == 0) {
            // As the paint handler asks: a block and its image at a zoom.
            const int zoom = pick(1, 99);
            s = {s.Left, s.Top, std::max(s.Right, s.Left + 1), std::max(s.Bottom, s.Top + 1)};
            d = {zoom * s.Left / 100, zoom * s.Top / 100, zoom * s.Right / 100, zoom * s.Bottom / 100};
        } else if (i % 25 == 1) {
            d = {pick(0, 1), pick(0, 1), 2, 2};  // Dx = Dy = 1
        }
        ExpectSameAsReference(picture, d, s, buffer);
    }
}

// Picture areas of 4K screens and beyond: sums that need 64 bits give the
// same bytes as smaller ones would.
TEST(ScaleBlockBilinear, HugeAreasAreExact)
{
    std::mt19937 rng(4);
    const TPixelRect cases[][2] = {
        {{0, 2800, 2900, 2900}, {0, 0, 3000, 300}},         // near the 32-bit limit
        {{0, 4000, 4100, 4100}, {0, 0, 4300, 300}},         // past it
        {{64000, 200, 65536, 260}, {64000, 0, 65536, 40}},  // widest
    };
    for (const auto& c : cases) {
        TBitmap buffer(c[1].Right, c[1].Bottom, 0, false, rng);
        TBitmap picture(c[0].Right, c[0].Bottom, 0, false, rng);
        ExpectSameAsReference(picture, c[0], c[1], buffer);
    }
}

TEST(ScaleBlockBilinear, ConstantColourStaysConstant)
{
    std::mt19937 rng(1);
    TBitmap buffer(1024, 768, 0, false, rng);
    for (size_t i = 0; i < buffer.Bytes.size(); i += 3) {
        buffer.Bytes[i] = 0x12;
        buffer.Bytes[i + 1] = 0x34;
        buffer.Bytes[i + 2] = 0x56;
    }
    TBitmap picture(512, 384, 0, true, rng);
    ASSERT_TRUE(ScaleBlockBilinear(picture.Dest(), {50, 0, 100, 50}, {100, 0, 200, 100}, buffer.Source()));
    for (int y = 0; y < 50; ++y)
        for (int x = 50; x < 100; ++x)
            ASSERT_EQ(picture.At(x, y)[0] | picture.At(x, y)[1] << 8 | picture.At(x, y)[2] << 16, 0x563412);
}

// Recordings of one pixel row or a single pixel in areas down to one pixel,
// through the paint handler's rectangles.
TEST(ScaleBlockBilinear, TinyAndExtremePictures)
{
    std::mt19937 rng(7);
    const int32_t sizes[][4] = {{1, 1, 1, 1}, {1, 1, 300, 200}, {65535, 1, 1, 1}, {65535, 1, 1000, 10},
                                {2, 2, 1, 1}, {3, 700, 5, 80}};
    for (const auto& s : sizes) {
        TBitmap buffer(s[0], s[1], 0, false, rng);
        const TPicturePlace place = FitPicture(s[2], s[3], s[0], s[1]);
        if (place.Width <= 0 || place.Height <= 0)
            continue;
        TBitmap picture(place.Width, place.Height, 0, false, rng);
        TPaintBlock block;
        if (PaintRectangles(display::dmAdaptive, {0, 0, s[0], s[1]}, s[0], s[1], place.Zoom, place.Width,
                            place.Height, block) && block.Scale)
            ExpectSameAsReference(picture, block.Dest, block.Source, buffer);
    }
}

TEST(ScaleBlockBilinear, NothingToDrawOrNoBitmap)
{
    std::mt19937 rng(3);
    TBitmap buffer(100, 100, 0, false, rng);
    TBitmap picture(50, 50, 0, false, rng);
    const std::vector<uint8_t> before = picture.Bytes;
    const TPixelRect src{0, 0, 100, 100};
    for (const TPixelRect& d : {TPixelRect{0, 0, 1, 50}, TPixelRect{0, 0, 50, 1}, TPixelRect{10, 10, 10, 20},
                                TPixelRect{30, 30, 20, 40}, TPixelRect{-5, 0, 20, 20}, TPixelRect{60, 0, 90, 40},
                                TPixelRect{0, 0, 70000, 40}})
        EXPECT_TRUE(ScaleBlockBilinear(picture.Dest(), d, src, buffer.Source()));
    EXPECT_TRUE(ScaleBlockBilinear(picture.Dest(), {0, 0, 50, 50}, {50, 0, 40, 100}, buffer.Source()));
    EXPECT_EQ(picture.Bytes, before);

    TSourcePixels shortRows = buffer.Source();
    shortRows.Stride = 299;
    EXPECT_FALSE(ScaleBlockBilinear(picture.Dest(), {0, 0, 50, 50}, src, shortRows));
    EXPECT_FALSE(ScaleBlockBilinear(TDestPixels{}, {0, 0, 50, 50}, src, buffer.Source()));
    EXPECT_EQ(picture.Bytes, before);
}
