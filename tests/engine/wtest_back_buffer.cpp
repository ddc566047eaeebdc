// TBackBuffer: the picture's layout, the dirty rectangle, drawing each frame
// kind with the cursor lifted and repainted, refusing damaged pictures, and
// long sequences compared pixel by pixel with the GDI-free ReferenceRenderer.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>

#include "EngineResources.h"
#include "PayloadCodecs.h"
#include "ReferenceRenderer.h"
#include "SysUtils.h"
#include "UnitBackBuffer.h"

using namespace qov;
using namespace qov::test;
using qov::writer::Bytes;
using qov::writer::MakeBmp;

namespace {

constexpr int W = 160;
constexpr int H = 120;

FrameHeader Record(int kind, int left, int top, uint32_t length = 0, int cursorX = 0, int cursorY = 0)
{
    FrameHeader r{};
    r.Time = 1000;
    r.Kind = int16_t(kind);
    r.Left = uint16_t(left);
    r.Top = uint16_t(top);
    r.Length = length;
    r.CursorX = uint16_t(cursorX);
    r.CursorY = uint16_t(cursorY);
    return r;
}

uint32_t Pattern(int x, int y)
{
    return uint32_t((x * 37 + y * 11) & 0xFF) << 16 | uint32_t((x * 5 ^ y * 3) & 0xFF) << 8 |
           uint32_t(((x + y) * 9) & 0xFF);
}

Bytes Solid(int width, int height, uint32_t rgb, int bits = 24)
{
    return MakeBmp(width, height, bits, [rgb](int, int) { return rgb; });
}

Bytes KeyPicture()
{
    return MakeBmp(W, H, 24, Pattern);
}

bool operator==(const RECT& a, const RefRect& b)
{
    return a.left == b.Left && a.top == b.Top && a.right == b.Right && a.bottom == b.Bottom;
}

std::string Text(const RECT& r)
{
    return ToString(RefRect{int(r.left), int(r.top), int(r.right), int(r.bottom)});
}

class BackBufferTest : public testing::Test {
protected:
    void SetUp() override { bb.SetSize(W, H); }

    // Draws into both the back buffer and the reference.
    void Draw(const FrameHeader& r, const Bytes* image)
    {
        const void* data = image ? image->data() : nullptr;
        const uint32_t length = image ? uint32_t(image->size()) : 0;
        bb.Lock();
        bb.DrawFrame(&r, data, length);
        bb.Unlock();
        GdiFlush();
        ref.DrawFrame(r, data, length);
    }
    void Draw(const FrameHeader& r, const Bytes& image) { Draw(r, &image); }

    void Key()
    {
        const Bytes key = KeyPicture();
        Draw(Record(fkKeyFrame, 0, 0, uint32_t(key.size())), key);
        TakeDirty();
    }

    RECT TakeDirty()
    {
        RECT r;
        bb.GetDirtyRect(r, true);
        ref.TakeDirtyRect(true);
        return r;
    }

    uint32_t Pixel(int x, int y) const
    {
        const uint8_t* p = bb.Bits() + y * bb.Stride() + x * 3;
        return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
    }

    std::vector<uint8_t> Snapshot() const { return {bb.Bits(), bb.Bits() + bb.Stride() * H}; }

    // Picture and dirty rectangle equal the reference's.
    void ExpectAsReference(const char* where = "")
    {
        EXPECT_EQ("", ref.Compare(bb.Bits(), bb.Stride())) << where;
        RECT dirty;
        bb.GetDirtyRect(dirty, false);
        EXPECT_TRUE(dirty == ref.TakeDirtyRect(false))
            << where << " dirty " << Text(dirty) << " expected " << ToString(ref.TakeDirtyRect(false));
        EXPECT_EQ(bb.Cursor()->Drawn(), ref.CursorDrawn()) << where;
    }

    TBackBuffer bb;
    ReferenceRenderer ref{W, H, LoadDefaultCursor()};
};

TEST_F(BackBufferTest, SetSizeBuildsABlackTopDownPictureWithPaddedRows)
{
    EXPECT_TRUE(bb.Ready());
    EXPECT_EQ(W, bb.Width());
    EXPECT_EQ(H, bb.Height());
    EXPECT_EQ(3, bb.BytesPerPixel());
    EXPECT_EQ(24, bb.BitsPerPixel());
    EXPECT_EQ(std::vector<uint8_t>(size_t(bb.Stride()) * H, 0), Snapshot());
    EXPECT_FALSE(bb.Cursor()->Drawn());
    EXPECT_EQ(44, bb.Cursor()->Width());
    EXPECT_EQ(44, bb.Cursor()->Height());

    for (int width : {1, 2, 3, 4, 5, 7}) {
        TBackBuffer b;
        b.SetSize(width, 3);
        EXPECT_EQ((3 * width + 3) / 4 * 4, b.Stride()) << width;
        // Row 1 starts one stride after row 0: the picture is top-down.
        SetPixel(b.DC(), width - 1, 1, RGB(0x11, 0x22, 0x33));
        GdiFlush();
        const uint8_t* p = b.Bits() + b.Stride() + (width - 1) * 3;
        EXPECT_EQ(0x33, p[0]) << width;
        EXPECT_EQ(0x22, p[1]) << width;
        EXPECT_EQ(0x11, p[2]) << width;
    }

    bb.Release();
    EXPECT_FALSE(bb.Ready());
    EXPECT_EQ(nullptr, bb.Bits());
    EXPECT_EQ(nullptr, bb.Cursor());
    bb.SetSize(8, 6);
    EXPECT_TRUE(bb.Ready());
    EXPECT_EQ(24, bb.Stride());
}

TEST_F(BackBufferTest, DirtyRectangleClipsUnitesAndEmpties)
{
    RECT r;
    bb.GetDirtyRect(r, false);
    EXPECT_TRUE(r == RefRect{}) << Text(r);

    // Empty rectangles add nothing, before and after something was added.
    bb.AddDirtyRect(RECT{50, 50, 50, 80});
    bb.AddDirtyRect(RECT{60, 60, 40, 70});
    bb.GetDirtyRect(r, false);
    EXPECT_TRUE(r == RefRect{}) << Text(r);

    bb.AddDirtyRect(RECT{10, 10, 20, 20});
    bb.AddDirtyRect(RECT{30, 5, 40, 12});
    bb.AddDirtyRect(RECT{100, 100, 100, 110});  // empty: must not stretch the union
    bb.AddDirtyRect(RECT{W + 10, 0, W + 20, 10});  // wholly outside
    bb.GetDirtyRect(r, false);
    EXPECT_TRUE(r == (RefRect{10, 5, 40, 20})) << Text(r);

    // Past the edges only the visible part counts.
    bb.GetDirtyRect(r, true);
    bb.AddDirtyRect(RECT{W - 5, H - 3, W + 50, H + 50});
    bb.GetDirtyRect(r, false);
    EXPECT_TRUE(r == (RefRect{W - 5, H - 3, W, H})) << Text(r);
    bb.AddDirtyRect(RECT{-20, -30, 4, 2});
    bb.GetDirtyRect(r, false);
    EXPECT_TRUE(r == (RefRect{0, 0, W, H})) << Text(r);

    // Taken with clear, then again: empty.
    bb.GetDirtyRect(r, true);
    EXPECT_TRUE(r == (RefRect{0, 0, W, H})) << Text(r);
    bb.GetDirtyRect(r, true);
    EXPECT_TRUE(r == RefRect{}) << Text(r);
}

TEST_F(BackBufferTest, CursorRectangleAndItsNegativePosition)
{
    bb.AddCursorRect();
    RECT r = TakeDirty();
    EXPECT_TRUE(r == (RefRect{0, 0, 44, 44})) << Text(r);

    bb.Cursor()->Show(-5, 10);
    try {
        bb.AddCursorRect();
        ADD_FAILURE() << "no exception";
    } catch (const EAssertionFailed&) {
        ADD_FAILURE() << "an assertion error instead of the invalid-parameter text";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string("参数无效"), e.Message());
    }
    bb.GetDirtyRect(r, false);
    EXPECT_TRUE(r == RefRect{}) << Text(r);
}

TEST_F(BackBufferTest, KeyFramesAndRectanglesLandWhereTheySay)
{
    Key();
    ExpectAsReference();
    EXPECT_EQ(Pattern(0, 0), Pixel(0, 0));
    EXPECT_EQ(Pattern(W - 1, H - 1), Pixel(W - 1, H - 1));

    // A bottom-up and a top-down rectangle show the same picture upright.
    auto rows = [](int, int y) { return y == 0 ? 0x0000FFu : 0x00FF00u; };
    Draw(Record(fkCopyRect, 10, 20, 1), MakeBmp(6, 4, 24, rows));
    Draw(Record(fkCopyRect, 30, 20, 1), MakeBmp(6, -4, 24, rows));
    for (int x : {10, 30}) {
        EXPECT_EQ(0x0000FFu, Pixel(x, 20)) << x;
        EXPECT_EQ(0x00FF00u, Pixel(x + 5, 23)) << x;
        EXPECT_EQ(Pattern(x + 6, 20), Pixel(x + 6, 20)) << x;
    }
    RECT r = TakeDirty();
    EXPECT_TRUE(r == (RefRect{10, 20, 36, 24})) << Text(r);
}

TEST_F(BackBufferTest, ExclusiveOrTwiceLeavesThePictureAsItWas)
{
    Key();
    const auto before = Snapshot();
    const Bytes x = MakeBmp(23, 17, 24, [](int x, int y) { return Pattern(y * 3, x * 7) ^ 0x5A5A5A; });
    Draw(Record(fkXorRect, 13, 7, 1), x);
    EXPECT_EQ(Pattern(13, 7) ^ Pattern(0, 0) ^ 0x5A5A5A, Pixel(13, 7));
    RECT r = TakeDirty();
    EXPECT_TRUE(r == (RefRect{13, 7, 36, 24})) << Text(r);
    Draw(Record(fkXorRect, 13, 7, 1), x);
    EXPECT_EQ(before, Snapshot());
    ExpectAsReference();
}

TEST_F(BackBufferTest, RectangleUnderThePaintedCursorIsDrawnWithTheCursorLifted)
{
    Key();
    Draw(Record(fkCursor, 60, 40), nullptr);
    ASSERT_TRUE(bb.Cursor()->Drawn());
    EXPECT_EQ(0x000000u, Pixel(61, 41));  // the arrow's tip
    TakeDirty();

    Draw(Record(fkCopyRect, 50, 30, 1), Solid(30, 30, 0x00C000));
    EXPECT_TRUE(bb.Cursor()->Drawn());
    EXPECT_EQ(0x000000u, Pixel(61, 41));   // cursor repainted on top
    EXPECT_EQ(0x00C000u, Pixel(60, 40));   // transparent corner shows the rectangle
    EXPECT_EQ(0x00C000u, Pixel(55, 35));
    RECT r;
    bb.GetDirtyRect(r, false);
    EXPECT_TRUE(r == (RefRect{50, 30, 104, 84})) << Text(r);  // rectangle and cursor
    ExpectAsReference();

    // Lifting the cursor shows the true picture: the rectangle where it was
    // drawn, the key frame beside it.
    Draw(Record(fkCursor, 0, 0), nullptr);
    EXPECT_FALSE(bb.Cursor()->Drawn());
    EXPECT_EQ(0x00C000u, Pixel(61, 41));
    EXPECT_EQ(Pattern(85, 70), Pixel(85, 70));
    ExpectAsReference();
}

TEST_F(BackBufferTest, ExclusiveOrUnderTheCursorMeetsTheTruePicture)
{
    Key();
    Draw(Record(fkCursor, 40, 30), nullptr);
    const auto withCursor = Snapshot();
    const Bytes x = Solid(20, 20, 0xFFFFFF);
    Draw(Record(fkXorRect, 45, 35, 1), x);
    // Inside the rectangle the cursor's outline stays black and its fill
    // white; beside the arrow the picture is inverted, never the cursor.
    EXPECT_EQ(0x000000u, Pixel(51, 41));
    EXPECT_EQ(0xFFFFFFu, Pixel(45, 41));
    EXPECT_EQ(Pattern(60, 36) ^ 0xFFFFFF, Pixel(60, 36));
    ExpectAsReference();
    Draw(Record(fkXorRect, 45, 35, 1), x);
    EXPECT_EQ(withCursor, Snapshot());
}

TEST_F(BackBufferTest, CursorRecordsHideMoveOrAreIgnored)
{
    Key();
    Draw(Record(fkCursor, 30, 20), nullptr);
    RECT r = TakeDirty();
    EXPECT_TRUE(r == (RefRect{0, 0, 74, 64})) << Text(r);  // old place (0, 0) and new

    // Outside the picture: nothing changes.
    const auto shown = Snapshot();
    Draw(Record(fkCursor, W, 10), nullptr);
    Draw(Record(fkCursor, 10, H), nullptr);
    Draw(Record(fkCursor, 60000, 60000), nullptr);
    EXPECT_EQ(shown, Snapshot());
    EXPECT_EQ(30, bb.Cursor()->X());
    bb.GetDirtyRect(r, false);
    EXPECT_TRUE(r == RefRect{}) << Text(r);

    // (0, 0) hides it and reports where it was.
    Draw(Record(fkCursor, 0, 0), nullptr);
    EXPECT_FALSE(bb.Cursor()->Drawn());
    r = TakeDirty();
    EXPECT_TRUE(r == (RefRect{30, 20, 74, 64})) << Text(r);
    for (int y = 20; y < 64; ++y)
        for (int x = 30; x < 74; ++x)
            ASSERT_EQ(Pattern(x, y), Pixel(x, y)) << x << "," << y;

    // The last column and row of the picture are inside it.
    Draw(Record(fkCursor, W - 1, H - 1), nullptr);
    EXPECT_TRUE(bb.Cursor()->Drawn());
    ExpectAsReference();
}

TEST_F(BackBufferTest, RectangleRecordMovesTheCursorAfterwards)
{
    Key();
    Draw(Record(fkCursor, 10, 10), nullptr);
    TakeDirty();
    Draw(Record(fkCopyRect, 100, 5, 1, 90, 70), Solid(8, 8, 0x123456));
    EXPECT_EQ(90, bb.Cursor()->X());
    EXPECT_EQ(70, bb.Cursor()->Y());
    EXPECT_EQ(Pattern(11, 11), Pixel(11, 11));  // old place restored
    RECT r;
    bb.GetDirtyRect(r, false);
    EXPECT_TRUE(r == (RefRect{10, 5, 134, 114})) << Text(r);
    ExpectAsReference();

    // One coordinate above 0 is enough; both 0 leave the cursor in place.
    Draw(Record(fkCopyRect, 0, 0, 1, 0, 3), Solid(2, 2, 0x808080));
    EXPECT_EQ(0, bb.Cursor()->X());
    EXPECT_EQ(3, bb.Cursor()->Y());
    Draw(Record(fkCopyRect, 100, 100, 1), Solid(2, 2, 0x808080));
    EXPECT_EQ(3, bb.Cursor()->Y());
    // A cursor position outside the picture is taken as it is.
    Draw(Record(fkCopyRect, 100, 100, 1, 5000, 6000), Solid(2, 2, 0x808080));
    EXPECT_EQ(5000, bb.Cursor()->X());
    ExpectAsReference();
}

TEST_F(BackBufferTest, NewShapeSizeMakesNewBitmapsAndTheSameSizeReusesThem)
{
    Key();
    HBITMAP defaultImage = bb.Cursor()->Image();
    HBITMAP defaultSave = bb.Cursor()->SaveUnder();
    const Bytes first = MakeBmp(32, 32, 24, [](int x, int y) {
        return x < 4 || y < 4 ? 0xFF0000u : (x + y < 40 ? 0x0000FFu : 0xFF0000u);
    });
    Draw(Record(fkCursor, 20, 20, uint32_t(first.size())), first);
    EXPECT_EQ(32, bb.Cursor()->Width());
    EXPECT_EQ(32, bb.Cursor()->Height());
    EXPECT_NE(defaultImage, bb.Cursor()->Image());
    EXPECT_NE(defaultSave, bb.Cursor()->SaveUnder());
    EXPECT_EQ(0x0000FFu, Pixel(24, 24));
    EXPECT_EQ(Pattern(21, 21), Pixel(21, 21));  // red is transparent
    ExpectAsReference("first shape");

    HBITMAP image = bb.Cursor()->Image();
    HBITMAP save = bb.Cursor()->SaveUnder();
    const Bytes second = MakeBmp(32, -32, 16, [](int x, int y) { return y < 16 ? 0xF8F800u : 0xFF0000u; });
    Draw(Record(fkCursor, 50, 60, uint32_t(second.size())), second);
    EXPECT_EQ(image, bb.Cursor()->Image());
    EXPECT_EQ(save, bb.Cursor()->SaveUnder());
    EXPECT_EQ(0xFFFF00u, Pixel(50, 60));  // 5-bit channels widened
    EXPECT_EQ(Pattern(24, 24), Pixel(24, 24));
    ExpectAsReference("second shape");

    // A shape record at (0, 0) takes the shape and hides the cursor.
    Draw(Record(fkCursor, 0, 0, uint32_t(first.size())), first);
    EXPECT_FALSE(bb.Cursor()->Drawn());
    ExpectAsReference("hidden shape");
}

TEST_F(BackBufferTest, SameSizeShapeIsWrittenIntoTheSixteenColourDefault)
{
    Key();
    HBITMAP image = bb.Cursor()->Image();
    const Bytes shape = MakeBmp(44, 44, 24, [](int x, int y) {
        return x < 20 ? 0xFF0000u : (y < 20 ? 0x00FF00u : 0x7F7F7Fu);
    });
    Draw(Record(fkCursor, 10, 10, uint32_t(shape.size())), shape);
    EXPECT_EQ(image, bb.Cursor()->Image());
    EXPECT_EQ(Pattern(12, 12), Pixel(12, 12));
    EXPECT_EQ(0x00FF00u, Pixel(40, 12));
    EXPECT_EQ(0x808080u, Pixel(40, 40));  // nearest of the 16 colours
    ExpectAsReference();
}

TEST_F(BackBufferTest, FourBitAndDamagedPicturesAreRefusedWithoutDrawing)
{
    Key();
    Draw(Record(fkCursor, 50, 50), nullptr);
    TakeDirty();
    const auto before = Snapshot();

    auto set32 = [](Bytes b, size_t at, uint32_t v) {
        std::memcpy(b.data() + at, &v, 4);
        return b;
    };
    auto set16 = [](Bytes b, size_t at, uint16_t v) {
        std::memcpy(b.data() + at, &v, 2);
        return b;
    };
    const Bytes good = Solid(20, 10, 0xABCDEF);
    Bytes truncated = good;
    truncated.pop_back();
    Bytes noMagic = good;
    noMagic[0] = 'X';
    const Bytes oneBit = Solid(16, 4, 1, 1);
    struct Case {
        const char* name;
        Bytes image;
    } cases[] = {
        {"4 bits per pixel", MakeBmp(8, 8, 4, [](int, int) { return 3u; })},
        {"last row cut short", truncated},
        {"no BM", noMagic},
        {"pixel offset past the end", set32(good, 10, uint32_t(good.size()))},
        {"pixel offset inside the headers", set32(good, 10, 20)},
        {"12 bits per pixel", set16(good, 28, 12)},
        {"width 0", set32(good, 18, 0)},
        {"negative width", set32(good, 18, uint32_t(-20))},
        {"height 0", set32(good, 22, 0)},
        {"height INT_MIN", set32(good, 22, 0x80000000u)},
        {"huge height", set32(good, 22, 0x7FFFFFFFu)},
        {"2 planes", set16(good, 26, 2)},
        {"RLE8", set32(set16(good, 28, 8), 30, BI_RLE8)},
        {"bit fields at 24 bits", set32(good, 30, BI_BITFIELDS)},
        {"core header", set32(good, 14, 12)},
        {"V5 header over the rows", set32(good, 14, 124)},
        {"colour table past the end", set32(oneBit, 46, 256)},
        {"true-colour picture naming 256 colours", set32(Solid(2, 2, 0x10), 46, 256)},
        {"file size past the length", set32(good, 2, uint32_t(good.size() + 1))},
        {"headers only", Bytes(good.begin(), good.begin() + 54)},
    };
    for (const Case& c : cases) {
        for (int kind : {fkKeyFrame, fkXorRect, fkCopyRect, fkCursor}) {
            if (kind == fkCursor && c.image[28] == 4)
                continue;  // a 4-bit cursor shape is fine
            const FrameHeader r = Record(kind, 5, 5, uint32_t(c.image.size()));
            bb.Lock();
            EXPECT_THROW(bb.DrawFrame(&r, c.image.data(), uint32_t(c.image.size())), EAssertionFailed)
                << c.name << " kind " << kind;
            bb.Unlock();
        }
    }
    // A missing picture, and a length that leaves out the rows.
    for (int kind : {fkKeyFrame, fkXorRect, fkCopyRect, fkCursor}) {
        const FrameHeader r = Record(kind, 5, 5, 10);
        EXPECT_THROW(bb.DrawFrame(&r, nullptr, 0), EAssertionFailed) << kind;
        EXPECT_THROW(bb.DrawFrame(&r, good.data(), 60), EAssertionFailed) << kind;
    }
    GdiFlush();
    EXPECT_EQ(before, Snapshot());
    RECT r;
    bb.GetDirtyRect(r, false);
    EXPECT_TRUE(r == RefRect{}) << Text(r);
    EXPECT_TRUE(bb.Cursor()->Drawn());
    EXPECT_EQ(44, bb.Cursor()->Width());

    // The same pictures undamaged are drawn.
    Draw(Record(fkCopyRect, 5, 5, 1), good);
    Draw(Record(fkCopyRect, 5, 30, 1), oneBit);
    ExpectAsReference();
}

TEST_F(BackBufferTest, MarkersAndUnknownKindsDrawNothing)
{
    Key();
    const auto before = Snapshot();
    const Bytes image = Solid(10, 10, 0xFFFFFF);
    for (int kind : {int(fkMarker), 5, 7, -1}) {
        const FrameHeader r = Record(kind, 0, 0, uint32_t(image.size()), 30, 30);
        bb.DrawFrame(&r, image.data(), uint32_t(image.size()));
        bb.DrawFrame(&r, nullptr, 0);
    }
    GdiFlush();
    EXPECT_EQ(before, Snapshot());
    RECT r;
    bb.GetDirtyRect(r, false);
    EXPECT_TRUE(r == RefRect{}) << Text(r);
    EXPECT_FALSE(bb.Cursor()->Drawn());
}

TEST_F(BackBufferTest, DrawingBeforeSetSizeIsRefused)
{
    TBackBuffer empty;
    const Bytes image = Solid(4, 4, 0);
    const FrameHeader r = Record(fkKeyFrame, 0, 0, uint32_t(image.size()));
    EXPECT_THROW(empty.DrawFrame(&r, image.data(), uint32_t(image.size())), EAssertionFailed);
    RECT d;
    empty.AddDirtyRect(RECT{0, 0, 10, 10});
    empty.GetDirtyRect(d, false);
    EXPECT_TRUE(d == RefRect{});
}

// 16 bits with 5-6-5 colour masks, as a recorder on a 16-bit screen may store.
Bytes Bmp565(int width, int height, const std::function<uint32_t(int, int)>& pixel)
{
    const int rows = height < 0 ? -height : height;
    const uint32_t stride = (uint32_t(width) * 16 + 31) / 32 * 4;
    Bytes b(66 + stride * rows, 0);
    auto put32 = [&](size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); };
    b[0] = 'B';
    b[1] = 'M';
    put32(2, uint32_t(b.size()));
    put32(10, 66);
    put32(14, 40);
    put32(18, uint32_t(width));
    put32(22, uint32_t(height));
    b[26] = 1;
    b[28] = 16;
    put32(30, BI_BITFIELDS);
    put32(54, 0xF800);
    put32(58, 0x07E0);
    put32(62, 0x001F);
    for (int y = 0; y < rows; ++y) {
        uint8_t* row = b.data() + 66 + stride * uint32_t(height > 0 ? rows - 1 - y : y);
        for (int x = 0; x < width; ++x) {
            const uint32_t c = pixel(x, y);
            const uint16_t v = uint16_t((c >> 19 & 31) << 11 | (c >> 10 & 63) << 5 | (c >> 3 & 31));
            std::memcpy(row + 2 * x, &v, 2);
        }
    }
    return b;
}

TEST_F(BackBufferTest, SequencesOfFramesMatchTheReferencePixelForPixel)
{
    std::mt19937 random(20240611);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
    const int bitChoices[] = {1, 8, 16, 24, 32};

    auto picture = [&](int width, int height) {
        const int bits = bitChoices[pick(0, 4)];
        const int sign = pick(0, 1) ? 1 : -1;
        const uint32_t seed = uint32_t(pick(0, 0xFFFFFF));
        auto pixel = [seed, bits](int x, int y) {
            const uint32_t c = Pattern(x + int(seed & 63), y + int(seed >> 6 & 63)) ^ seed;
            return bits <= 8 ? c & 0xFF : c;
        };
        if (bits == 16 && pick(0, 2) == 0)
            return Bmp565(width, sign * height, pixel);
        return MakeBmp(width, sign * height, bits, pixel);
    };
    auto shape = [&] {
        const int size = pick(0, 3) == 0 ? 44 : (pick(0, 1) ? 32 : 24);
        const uint32_t colour = uint32_t(pick(0, 0xFFFFFF));
        return MakeBmp(size, pick(0, 1) ? size : -size, 24, [=](int x, int y) {
            return (x + y) % 5 == 0 || x < y / 2 ? colour : 0xFF0000u;
        });
    };

    for (int step = 0; step < 400; ++step) {
        const int what = pick(0, 99);
        FrameHeader r{};
        Bytes image;
        if (what < 5) {
            image = picture(W, H);
            r = Record(fkKeyFrame, 0, 0, 1);
        } else if (what < 70) {
            const int width = pick(1, 70), height = pick(1, 50);
            image = picture(width, height);
            const bool moves = pick(0, 2) == 0;
            r = Record(pick(0, 1) ? fkXorRect : fkCopyRect, pick(0, W + 5), pick(0, H + 5), 1,
                       moves ? pick(0, W + 20) : 0, moves ? pick(0, H + 20) : 0);
        } else if (what < 95) {
            const bool newShape = pick(0, 4) == 0;
            if (newShape)
                image = shape();
            const int x = pick(0, 9) == 0 ? 0 : pick(0, W + 10);
            const int y = x == 0 && pick(0, 1) ? 0 : pick(0, H + 10);
            r = Record(fkCursor, x, y, newShape ? uint32_t(image.size()) : 0);
        } else {
            r = Record(fkMarker, 0, 0);
        }
        Draw(r, image.empty() ? nullptr : &image);
        const std::string where = "step " + std::to_string(step) + " kind " + std::to_string(r.Kind);
        ExpectAsReference(where.c_str());
        if (HasFailure())
            return;
        if (pick(0, 3) == 0)
            TakeDirty();
    }
}

// Rectangles of 24 and 32 bits are written straight into the picture's
// memory. Drawn that way and through GDI, the same records leave every byte
// of the picture (row padding included), the dirty rectangle and the cursor
// the same: pictures of both row orders with junk in their fourth bytes and
// row padding, widths around the four-pixel groups, rectangles clipped at the
// right and bottom edges or wholly outside, exclusive or over copies, with the
// cursor lifted and moved, and pictures only GDI converts in between.
TEST(BackBufferDirectWrites, PutTheSameBytesAsGdi)
{
    constexpr int w = 157, h = 93;  // 471 bytes of pixels in rows of 472
    TBackBuffer direct, gdi;
    direct.SetSize(w, h);
    gdi.SetSize(w, h);
    gdi.SetDirectWrites(false);
    ASSERT_EQ(direct.Stride(), gdi.Stride());

    std::mt19937 random(5150);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
    auto picture = [&](int width, int height, int bits) {
        const uint32_t seed = uint32_t(pick(0, 0xFFFFFF));
        Bytes b = MakeBmp(width, pick(0, 1) ? height : -height, bits,
                          [seed](int x, int y) { return Pattern(x * 7 + int(seed & 255), y * 3) ^ seed; });
        if (bits < 24)
            return b;
        // Bytes a copy must ignore: the fourth of each 32-bit pixel and the
        // padding at the end of each row.
        const uint32_t stride = (uint32_t(width) * uint32_t(bits) + 31) / 32 * 4;
        for (int y = 0; y < height; ++y) {
            uint8_t* row = b.data() + 54 + size_t(stride) * size_t(y);
            if (bits == 32) {
                for (int x = 0; x < width; ++x)
                    row[4 * x + 3] = uint8_t(pick(1, 255));
            } else {
                for (uint32_t i = uint32_t(width) * 3; i < stride; ++i)
                    row[i] = uint8_t(pick(1, 255));
            }
        }
        return b;
    };
    const int bitChoices[] = {24, 32, 24, 32, 8, 16};

    int directDraws = 0;
    for (int step = 0; step < 500; ++step) {
        const int what = pick(0, 99);
        FrameHeader r{};
        Bytes image;
        if (what < 6) {
            // Whole pictures, some larger than the back buffer.
            image = picture(w + pick(0, 1) * 9, h + pick(0, 1) * 5, bitChoices[pick(0, 3)]);
            r = Record(fkKeyFrame, 0, 0, 1);
        } else if (what < 85) {
            const int width = pick(0, 1) ? pick(1, 9) : pick(1, 90);
            const int height = pick(1, 40);
            const int bits = bitChoices[pick(0, 5)];
            image = picture(width, height, bits);
            const bool moves = pick(0, 3) == 0;
            r = Record(pick(0, 1) ? fkXorRect : fkCopyRect, pick(0, w + 2), pick(0, h + 2), 1,
                       moves ? pick(0, w) : 0, moves ? pick(0, h) : 0);
            directDraws += bits >= 24;
        } else {
            r = Record(fkCursor, pick(1, w - 1), pick(1, h - 1));
        }
        for (TBackBuffer* b : {&direct, &gdi}) {
            b->Lock();
            b->DrawFrame(&r, image.empty() ? nullptr : image.data(), uint32_t(image.size()));
            b->Unlock();
        }
        GdiFlush();
        const std::string where = "step " + std::to_string(step) + " kind " + std::to_string(r.Kind);
        ASSERT_EQ(0, std::memcmp(direct.Bits(), gdi.Bits(), size_t(direct.Stride()) * h)) << where;
        RECT a, b;
        direct.GetDirtyRect(a, true);
        gdi.GetDirtyRect(b, true);
        ASSERT_EQ(Text(b), Text(a)) << where;
        ASSERT_EQ(gdi.Cursor()->Drawn(), direct.Cursor()->Drawn()) << where;
        ASSERT_EQ(gdi.Cursor()->X(), direct.Cursor()->X()) << where;
        ASSERT_EQ(gdi.Cursor()->Y(), direct.Cursor()->Y()) << where;
    }
    EXPECT_GT(directDraws, 200);
}

// GDI objects in use: the system's count where it keeps one, else the highest
// handle slot that a batch of fresh bitmaps gets. Freed slots are handed out
// again first, so the slot climbs only while objects stay alive.
size_t GdiObjectsInUse()
{
    const DWORD counted = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (counted != 0)
        return counted;
    HDC screen = GetDC(nullptr);
    std::vector<HBITMAP> probes;
    size_t highest = 0;
    for (int i = 0; i < 64; ++i) {
        probes.push_back(CreateCompatibleBitmap(screen, 1, 1));
        highest = std::max<size_t>(highest, LOWORD(reinterpret_cast<uintptr_t>(probes.back())));
    }
    for (HBITMAP b : probes)
        DeleteObject(b);
    ReleaseDC(nullptr, screen);
    return highest;
}

// Playing leaves no GDI object behind: a thousand and more frames of every
// kind, through GDI and written straight, new cursor shapes of changing size,
// refused pictures, and pictures rebuilt many times.
TEST(BackBufferGdiObjects, NoneLeftBehindByFramesShapesRefusalsOrRebuilds)
{
    std::mt19937 random(77);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
    const Bytes damaged = [] {
        Bytes b = Solid(8, 8, 0x123456);
        b[10] = 0xFF;  // pixel offset beyond the image
        return b;
    }();
    auto play = [&](TBackBuffer& bb, int frames) {
        for (int i = 0; i < frames; ++i) {
            const int what = pick(0, 9);
            Bytes image;
            FrameHeader r{};
            if (what < 5) {
                image = Solid(pick(1, 60), pick(1, 40), uint32_t(pick(0, 0xFFFFFF)), pick(0, 2) ? 24 : 8);
                r = Record(pick(0, 1) ? fkXorRect : fkCopyRect, pick(0, W), pick(0, H), 1, pick(0, W), pick(0, H));
            } else if (what < 8) {
                if (pick(0, 1)) {
                    const int size = pick(0, 1) ? 32 : 24 + pick(0, 20);
                    image = Solid(size, size, 0x00FF00);
                }
                r = Record(fkCursor, pick(0, W), pick(0, H), uint32_t(image.size()));
            } else {
                image = damaged;
                r = Record(fkCopyRect, 5, 5, 1);
            }
            bb.Lock();
            try {
                bb.DrawFrame(&r, image.empty() ? nullptr : image.data(), uint32_t(image.size()));
            } catch (const Exception&) {
                EXPECT_EQ(damaged, image) << "only the damaged picture is refused";
            }
            bb.Unlock();
        }
    };

    TBackBuffer bb;
    bb.SetSize(W, H);
    play(bb, 50);  // everything made once
    const size_t before = GdiObjectsInUse();
    play(bb, 600);
    bb.SetDirectWrites(false);
    play(bb, 600);
    for (int i = 0; i < 50; ++i)
        bb.SetSize(W + i, H);
    bb.SetSize(W, H);
    play(bb, 50);
    const size_t after = GdiObjectsInUse();
    EXPECT_LE(after, before + 8) << "GDI objects in use went from " << before << " to " << after;
}

} // namespace
