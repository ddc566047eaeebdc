// TVirtualMouse on a back buffer's picture: the default image from the
// program's resources, painting with red transparent, putting back what lay
// under it, overlap tests and shape changes.
#include <gtest/gtest.h>

#include <windows.h>

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

constexpr int W = 100;
constexpr int H = 80;

uint32_t Background(int x, int y)
{
    return uint32_t(x * 2) << 16 | uint32_t(y * 3) << 8 | uint32_t((x ^ y) & 0xFF);
}

class VirtualMouseTest : public testing::Test {
protected:
    void SetUp() override
    {
        bb.SetSize(W, H);
        const Bytes key = MakeBmp(W, H, 24, Background);
        FrameHeader r{};
        r.Kind = fkKeyFrame;
        r.Length = uint32_t(key.size());
        bb.DrawFrame(&r, key.data(), uint32_t(key.size()));
        ref.DrawFrame(r, key.data(), key.size());
        blank = Snapshot();
        mouse = bb.Cursor();
    }

    std::vector<uint8_t> Snapshot() const
    {
        GdiFlush();
        return {bb.Bits(), bb.Bits() + bb.Stride() * H};
    }

    std::string Diff() const
    {
        GdiFlush();
        return ref.Compare(bb.Bits(), bb.Stride());
    }

    TBackBuffer bb;
    ReferenceRenderer ref{W, H, LoadDefaultCursor()};
    std::vector<uint8_t> blank;
    TVirtualMouse* mouse = nullptr;
};

TEST_F(VirtualMouseTest, DefaultImageIsTheSixteenColourArrowWithRedAround)
{
    const RefImage cursor = LoadDefaultCursor();
    EXPECT_EQ(44, cursor.Width);
    EXPECT_EQ(44, cursor.Height);
    EXPECT_EQ(16u, cursor.Palette.size());
    EXPECT_EQ(0xFF0000u, cursor.At(0, 0));
    EXPECT_EQ(0x000000u, cursor.At(1, 1));
    EXPECT_EQ(0xFF0000u, cursor.At(43, 43));

    mouse->Show(20, 10);
    ref.ShowCursor(20, 10);
    EXPECT_TRUE(mouse->Drawn());
    EXPECT_EQ("", Diff());
    const uint8_t* corner = bb.Bits() + 10 * bb.Stride() + 20 * 3;
    EXPECT_EQ(Background(20, 10) & 0xFF, corner[0]);  // transparent
}

TEST_F(VirtualMouseTest, HidePutsBackExactlyWhatWasUnder)
{
    mouse->Show(30, 20);
    mouse->Show(30, 20);  // already there: the cursor itself must not be saved
    mouse->Show(-1, -1);
    mouse->Hide();
    EXPECT_FALSE(mouse->Drawn());
    EXPECT_EQ(blank, Snapshot());
    mouse->Hide();
    EXPECT_EQ(blank, Snapshot());

    // Moving while painted lifts it from the old place first.
    mouse->Show(5, 5);
    mouse->Show(40, 30);
    ref.ShowCursor(40, 30);
    EXPECT_EQ("", Diff());
    EXPECT_EQ(40, mouse->X());
    EXPECT_EQ(30, mouse->Y());
    mouse->Hide();
    EXPECT_EQ(blank, Snapshot());

    // Shown again without a position: the stored one.
    mouse->Show();
    ref.HideCursor();
    ref.ShowCursor(40, 30);
    EXPECT_EQ("", Diff());
}

TEST_F(VirtualMouseTest, CursorReachingPastThePictureIsClipped)
{
    for (POINT p : {POINT{W - 10, H - 7}, POINT{W - 1, 0}, POINT{0, H - 1}, POINT{W + 30, H + 30}, POINT{5000, 7}}) {
        mouse->Show(p.x, p.y);
        ref.ShowCursor(p.x, p.y);
        EXPECT_EQ("", Diff()) << p.x << "," << p.y;
        mouse->Hide();
        ref.HideCursor();
        EXPECT_EQ(blank, Snapshot()) << p.x << "," << p.y;
    }
}

TEST_F(VirtualMouseTest, IntersectsOnlyWhenRectanglesShareAPixel)
{
    mouse->Show(10, 20);  // covers (10, 20) to (54, 64), exclusive
    EXPECT_TRUE(mouse->Intersects(RECT{53, 63, 60, 70}));
    EXPECT_TRUE(mouse->Intersects(RECT{0, 0, 11, 21}));
    EXPECT_TRUE(mouse->Intersects(RECT{20, 30, 25, 35}));   // inside
    EXPECT_TRUE(mouse->Intersects(RECT{0, 0, W, H}));       // around
    EXPECT_FALSE(mouse->Intersects(RECT{54, 20, 60, 30}));  // touches the right edge
    EXPECT_FALSE(mouse->Intersects(RECT{0, 0, 10, 64}));    // touches the left edge
    EXPECT_FALSE(mouse->Intersects(RECT{10, 64, 54, 70}));  // touches the bottom
    EXPECT_FALSE(mouse->Intersects(RECT{20, 30, 20, 40}));  // empty
    mouse->Hide();
    EXPECT_TRUE(mouse->Intersects(RECT{20, 30, 25, 35}));   // the stored position counts
}

TEST_F(VirtualMouseTest, SetShapeLiftsTheCursorAndDoesNotPaint)
{
    mouse->Show(15, 15);
    const Bytes shape = MakeBmp(16, -20, 32, [](int x, int) { return x < 8 ? 0x00FF00u : 0xFF0000u; });
    mouse->SetShape(shape.data(), uint32_t(shape.size()));
    EXPECT_FALSE(mouse->Drawn());
    EXPECT_EQ(blank, Snapshot());
    EXPECT_EQ(16, mouse->Width());
    EXPECT_EQ(20, mouse->Height());

    mouse->Show(15, 15);
    RefImage decoded;
    ASSERT_TRUE(DecodeBmpImage(shape.data(), shape.size(), decoded));
    ref.SetCursorShape(decoded);
    ref.ShowCursor(15, 15);
    EXPECT_EQ("", Diff());

    // A damaged shape changes nothing.
    Bytes damaged = shape;
    damaged.resize(damaged.size() - 4);
    HBITMAP image = mouse->Image();
    EXPECT_THROW(mouse->SetShape(damaged.data(), uint32_t(damaged.size())), EAssertionFailed);
    EXPECT_THROW(mouse->SetShape(nullptr, 0), EAssertionFailed);
    EXPECT_TRUE(mouse->Drawn());
    EXPECT_EQ(image, mouse->Image());
    EXPECT_EQ("", Diff());
}

} // namespace
