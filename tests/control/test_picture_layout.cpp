#include <gtest/gtest.h>

#include <cstdint>

#include "PictureLayout.h"

using namespace qov;

namespace {

void ExpectPlace(const TPicturePlace& p, int32_t left, int32_t top, int32_t width, int32_t height, int32_t zoom)
{
    EXPECT_EQ(p.Left, left);
    EXPECT_EQ(p.Top, top);
    EXPECT_EQ(p.Width, width);
    EXPECT_EQ(p.Height, height);
    EXPECT_EQ(p.Zoom, zoom);
}

} // namespace

TEST(PictureLayout, AdaptiveFitsWithoutEnlarging)
{
    TFrameLayout layout;
    layout.HorzScrollBar = layout.VertScrollBar = true;
    ASSERT_TRUE(LayoutPicture(display::dmAdaptive, 512, 600, 1024, 768, layout));
    ExpectPlace(layout.Image, 0, 108, 512, 384, 50);
    EXPECT_FALSE(layout.HorzScrollBar || layout.VertScrollBar);

    ASSERT_TRUE(LayoutPicture(display::dmAdaptive, 1024, 768, 800, 600, layout));
    ExpectPlace(layout.Image, 112, 84, 800, 600, 100);
    // Lower than the picture only: zoom by the height.
    ASSERT_TRUE(LayoutPicture(display::dmAdaptive, 2000, 384, 1024, 768, layout));
    ExpectPlace(layout.Image, 744, 0, 512, 384, 50);
}

TEST(PictureLayout, OriginalSizeScrollsOrCentres)
{
    TFrameLayout layout;
    layout.Image.Zoom = 50;
    ASSERT_TRUE(LayoutPicture(display::dmOriginal, 512, 600, 1024, 768, layout));
    ExpectPlace(layout.Image, 0, 0, 1024, 768, 50);
    EXPECT_TRUE(layout.HorzScrollBar && layout.VertScrollBar);

    ASSERT_TRUE(LayoutPicture(display::dmOriginal, 1100, 600, 1024, 768, layout));
    ExpectPlace(layout.Image, 38, 0, 1024, 768, 50);
    EXPECT_FALSE(layout.HorzScrollBar);
    EXPECT_TRUE(layout.VertScrollBar);
}

TEST(PictureLayout, NoSizeOrOtherModeLeavesTheImage)
{
    TFrameLayout layout;
    layout.Image = {5, 6, 7, 8, 9};
    EXPECT_FALSE(LayoutPicture(display::dmAdaptive, 512, 600, 0, 768, layout));
    EXPECT_FALSE(LayoutPicture(display::dmOriginal, 512, 600, 1024, -1, layout));
    EXPECT_TRUE(LayoutPicture(display::dmFull, 512, 600, 1024, 768, layout));
    EXPECT_TRUE(LayoutPicture(7, 512, 600, 1024, 768, layout));
    ExpectPlace(layout.Image, 5, 6, 7, 8, 9);
}

TEST(PictureLayout, AreasTooSmallForAnyPixelGiveZoomZero)
{
    ExpectPlace(FitPicture(0, 600, 1024, 768), 0, 300, 0, 0, 0);
    ExpectPlace(FitPicture(1, 1, 65535, 1), 0, 0, 0, 0, 0);
    ExpectPlace(FitPicture(1, 1, 1, 1), 0, 0, 1, 1, 100);
    ExpectPlace(FitPicture(200, 1, 65535, 1), 100, 0, 0, 0, 0);  // 200 x 100 / 65535
}

TEST(PictureLayout, FullScreenFitsTheMonitor)
{
    TFullScreenLayout layout;
    ASSERT_TRUE(FitFullScreen({0, 0, 1024, 768}, 1280, 1024, layout));
    ExpectPlace(layout.Image, 32, 0, 960, 768, 75);
    ASSERT_TRUE(FitFullScreen({0, 0, 1024, 768}, 800, 600, layout));
    ExpectPlace(layout.Image, 112, 84, 800, 600, 100);
    ASSERT_TRUE(FitFullScreen({1920, -200, 3200, 824}, 1600, 1200, layout));
    EXPECT_EQ(layout.Window, (TPixelRect{1920, -200, 3200, 824}));
    ExpectPlace(layout.Image, 0, 32, 1280, 960, 80);
    ASSERT_TRUE(FitFullScreen({0, 0, 1280, 1024}, 800, 600, layout));
    ExpectPlace(layout.Image, 240, 212, 800, 600, 100);
    EXPECT_FALSE(FitFullScreen({0, 0, 1280, 1024}, 0, 600, layout));
    ExpectPlace(layout.Image, 240, 212, 800, 600, 100);
}

TEST(PaintRectangles, AdaptiveSnapsToBlocksAndScales)
{
    TPaintBlock block;
    const TPixelRect dirty = DirtyRectFromParams(130u << 16 | 40, 150u << 16 | 60);
    ASSERT_TRUE(PaintRectangles(display::dmAdaptive, dirty, 1024, 768, 50, 512, 384, block));
    EXPECT_EQ(block.Source, (TPixelRect{100, 0, 200, 100}));
    EXPECT_EQ(block.Dest, (TPixelRect{50, 0, 100, 50}));
    EXPECT_TRUE(block.Scale);

    // The last blocks end at the recording's edge; a picture that fits is
    // copied 1:1.
    ASSERT_TRUE(PaintRectangles(display::dmAdaptive, {990, 700, 1000, 768}, 1024, 768, 100, 1024, 768, block));
    EXPECT_EQ(block.Source, (TPixelRect{900, 700, 1024, 768}));
    EXPECT_EQ(block.Dest, block.Source);
    EXPECT_FALSE(block.Scale);

    // Full screen scales by the window's zoom.
    ASSERT_TRUE(PaintRectangles(display::dmFull, {0, 0, 1600, 1200}, 1600, 1200, 80, 1280, 960, block));
    EXPECT_EQ(block.Dest, (TPixelRect{0, 0, 1280, 960}));
    EXPECT_TRUE(block.Scale);
}

TEST(PaintRectangles, OriginalCopiesOneToOne)
{
    TPaintBlock block;
    ASSERT_TRUE(PaintRectangles(display::dmOriginal, {130, 40, 150, 60}, 1024, 768, 50, 1024, 768, block));
    EXPECT_EQ(block.Source, (TPixelRect{130, 40, 150, 60}));
    EXPECT_EQ(block.Dest, block.Source);
    EXPECT_FALSE(block.Scale);
}

TEST(PaintRectangles, StaleEmptyOrUnpaintableRectanglesAreClippedOrIgnored)
{
    TPaintBlock block;
    ASSERT_TRUE(PaintRectangles(display::dmOriginal, {1000, 700, 5000, 5000}, 1024, 768, 100, 1024, 768, block));
    EXPECT_EQ(block.Source, (TPixelRect{1000, 700, 1024, 768}));
    ASSERT_TRUE(PaintRectangles(display::dmAdaptive, {-50, -50, 5000, 5000}, 1024, 768, 50, 512, 384, block));
    EXPECT_EQ(block.Source, (TPixelRect{0, 0, 1024, 768}));
    EXPECT_EQ(block.Dest, (TPixelRect{0, 0, 512, 384}));

    const TPixelRect unpaintable[] = {DirtyRectFromParams(0, 0), {200, 10, 100, 50}, {2000, 0, 3000, 50}};
    for (const TPixelRect& r : unpaintable)
        EXPECT_FALSE(PaintRectangles(display::dmAdaptive, r, 1024, 768, 50, 512, 384, block));
    EXPECT_FALSE(PaintRectangles(display::dmAdaptive, {0, 0, 100, 100}, 1024, 768, 0, 1, 1, block));
    EXPECT_FALSE(PaintRectangles(display::dmAdaptive, {0, 0, 100, 100}, 0, 0, 100, 1024, 768, block));
}

TEST(PaintRectangles, QueuedRectanglesUnite)
{
    EXPECT_EQ(UniteRects({}, {10, 20, 30, 40}), (TPixelRect{10, 20, 30, 40}));
    EXPECT_EQ(UniteRects({10, 20, 30, 40}, {5, 50, 8, 60}), (TPixelRect{5, 20, 30, 60}));
    EXPECT_EQ(UniteRects({10, 20, 30, 40}, {50, 50, 40, 60}), (TPixelRect{10, 20, 30, 40}));
}

TEST(PictureLayout, MousePositionsBackToRecordingPixels)
{
    EXPECT_EQ(ImageToRecording(10, 100), 10);
    EXPECT_EQ(ImageToRecording(20, 100), 20);
    EXPECT_EQ(ImageToRecording(1279, 80), 1598);
    EXPECT_EQ(ImageToRecording(7, 0), 7);
}
