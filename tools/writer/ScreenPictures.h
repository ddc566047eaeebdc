// Pictures that look like a recorded screen (desktop, windows, title bars,
// lines of text-like strokes, gradients), made deterministically from a seed,
// and the small pixel operations a recorder performs on them (cutting out a
// changed rectangle, combining by exclusive or).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace qov::writer {

// A picture as it looks on screen: Width x Height pixels, row 0 at the top,
// each pixel 0xRRGGBB.
class TPicture {
public:
    TPicture() = default;
    TPicture(int width, int height, uint32_t colour = 0);
    TPicture(int width, int height, const std::function<uint32_t(int x, int y)>& pixel);

    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    bool Empty() const { return FWidth == 0 || FHeight == 0; }
    uint32_t At(int x, int y) const { return FPixels[size_t(y) * size_t(FWidth) + size_t(x)]; }
    void Set(int x, int y, uint32_t colour) { FPixels[size_t(y) * size_t(FWidth) + size_t(x)] = colour; }
    const std::vector<uint32_t>& Pixels() const { return FPixels; }

    // Drawing, clipped to the picture.
    void FillRect(int left, int top, int width, int height, uint32_t colour);
    void FrameRect(int left, int top, int width, int height, uint32_t colour);
    // Colour from `from` at the top (or left) to `to` at the bottom (or right).
    void GradientRect(int left, int top, int width, int height, uint32_t from, uint32_t to, bool vertical);

    // Copies the rectangle of this picture at (left, top); parts outside are black.
    TPicture Crop(int left, int top, int width, int height) const;
    // Copies src over this picture at (left, top) (clipped).
    void Paste(const TPicture& src, int left, int top);
    // Combines src with this picture at (left, top) by exclusive or (clipped).
    void XorWith(const TPicture& src, int left, int top);

    bool operator==(const TPicture& other) const = default;

    // The picture as a pixel function for the payload encoders.
    std::function<uint32_t(int, int)> PixelFunction() const;

private:
    int FWidth = 0;
    int FHeight = 0;
    std::vector<uint32_t> FPixels;
};

// Pixel-by-pixel exclusive or of two pictures of the same size: the payload of
// an exclusive-or rectangle that turns `before` into `after`.
TPicture XorPictures(const TPicture& before, const TPicture& after);

// A small deterministic generator (SplitMix64), the same on every platform.
class TRandom {
public:
    explicit TRandom(uint64_t seed) : FState(seed) {}
    uint64_t Next();
    // Uniform in [low, high] (high >= low).
    int Range(int low, int high);
    bool Chance(int percent) { return Range(0, 99) < percent; }

private:
    uint64_t FState;
};

// A desktop: gradient background, icons, a task bar and a few overlapping
// windows with title bars, toolbars and lines of text.
TPicture MakeScreenPicture(int width, int height, uint64_t seed);

// One application window at (left, top) drawn into picture.
void DrawWindow(TPicture& picture, int left, int top, int width, int height, uint64_t seed);

// Lines of text-like strokes (glyph-sized marks in words) filling the rectangle.
void DrawTextLines(TPicture& picture, int left, int top, int width, int height, uint32_t ink,
                   uint64_t seed);

// One word of `letters` glyph-like marks at (left, top) (glyphs 6 x 9 pixels
// with a 1-pixel gap); returns the width drawn.
int DrawWord(TPicture& picture, int left, int top, int letters, uint32_t ink, TRandom& random);

// Cursor shapes for kind-2 frames: pure red (0xFF0000) is the transparent colour.
TPicture MakeArrowCursor(int size = 32);
TPicture MakeBeamCursor(int size = 32);

} // namespace qov::writer
