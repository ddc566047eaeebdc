#include "ScreenPictures.h"

#include <algorithm>
#include <stdexcept>

namespace qov::writer {

namespace {

uint32_t Rgb(int r, int g, int b)
{
    return uint32_t(std::clamp(r, 0, 255)) << 16 | uint32_t(std::clamp(g, 0, 255)) << 8 |
           uint32_t(std::clamp(b, 0, 255));
}

uint32_t Blend(uint32_t from, uint32_t to, int step, int steps)
{
    if (steps <= 0)
        return from;
    auto channel = [&](int shift) {
        const int a = int(from >> shift & 0xFF), b = int(to >> shift & 0xFF);
        return a + (b - a) * step / steps;
    };
    return Rgb(channel(16), channel(8), channel(0));
}

uint32_t Darker(uint32_t c, int amount)
{
    return Rgb(int(c >> 16 & 0xFF) - amount, int(c >> 8 & 0xFF) - amount, int(c & 0xFF) - amount);
}

} // namespace

// ---------------------------------------------------------------------------
// TPicture

TPicture::TPicture(int width, int height, uint32_t colour)
{
    if (width < 0 || height < 0)
        throw std::invalid_argument("TPicture: negative size");
    FWidth = width;
    FHeight = height;
    FPixels.assign(size_t(width) * size_t(height), colour & 0xFFFFFF);
}

TPicture::TPicture(int width, int height, const std::function<uint32_t(int, int)>& pixel)
    : TPicture(width, height)
{
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            Set(x, y, pixel(x, y) & 0xFFFFFF);
}

void TPicture::FillRect(int left, int top, int width, int height, uint32_t colour)
{
    const int x0 = std::max(left, 0), y0 = std::max(top, 0);
    const int x1 = std::min(left + width, FWidth), y1 = std::min(top + height, FHeight);
    if (x0 >= x1)
        return;
    for (int y = y0; y < y1; ++y)
        std::fill(FPixels.begin() + ptrdiff_t(size_t(y) * FWidth + x0),
                  FPixels.begin() + ptrdiff_t(size_t(y) * FWidth + x1), colour & 0xFFFFFF);
}

void TPicture::FrameRect(int left, int top, int width, int height, uint32_t colour)
{
    FillRect(left, top, width, 1, colour);
    FillRect(left, top + height - 1, width, 1, colour);
    FillRect(left, top, 1, height, colour);
    FillRect(left + width - 1, top, 1, height, colour);
}

void TPicture::GradientRect(int left, int top, int width, int height, uint32_t from, uint32_t to,
                            bool vertical)
{
    const int steps = std::max((vertical ? height : width) - 1, 1);
    for (int y = std::max(top, 0); y < std::min(top + height, FHeight); ++y)
        for (int x = std::max(left, 0); x < std::min(left + width, FWidth); ++x)
            Set(x, y, Blend(from, to, vertical ? y - top : x - left, steps));
}

TPicture TPicture::Crop(int left, int top, int width, int height) const
{
    TPicture out(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int sx = left + x, sy = top + y;
            if (sx >= 0 && sy >= 0 && sx < FWidth && sy < FHeight)
                out.Set(x, y, At(sx, sy));
        }
    return out;
}

void TPicture::Paste(const TPicture& src, int left, int top)
{
    for (int y = 0; y < src.Height(); ++y)
        for (int x = 0; x < src.Width(); ++x) {
            const int dx = left + x, dy = top + y;
            if (dx >= 0 && dy >= 0 && dx < FWidth && dy < FHeight)
                Set(dx, dy, src.At(x, y));
        }
}

void TPicture::XorWith(const TPicture& src, int left, int top)
{
    for (int y = 0; y < src.Height(); ++y)
        for (int x = 0; x < src.Width(); ++x) {
            const int dx = left + x, dy = top + y;
            if (dx >= 0 && dy >= 0 && dx < FWidth && dy < FHeight)
                Set(dx, dy, At(dx, dy) ^ src.At(x, y));
        }
}

std::function<uint32_t(int, int)> TPicture::PixelFunction() const
{
    return [this](int x, int y) { return At(x, y); };
}

TPicture XorPictures(const TPicture& before, const TPicture& after)
{
    if (before.Width() != after.Width() || before.Height() != after.Height())
        throw std::invalid_argument("XorPictures: sizes differ");
    return TPicture(before.Width(), before.Height(),
                    [&](int x, int y) { return before.At(x, y) ^ after.At(x, y); });
}

// ---------------------------------------------------------------------------
// TRandom

uint64_t TRandom::Next()
{
    uint64_t z = (FState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

int TRandom::Range(int low, int high)
{
    if (high <= low)
        return low;
    return low + int(Next() % uint64_t(int64_t(high) - low + 1));
}

// ---------------------------------------------------------------------------
// Screen content

int DrawWord(TPicture& picture, int left, int top, int letters, uint32_t ink, TRandom& random)
{
    constexpr int kGlyphW = 6, kGlyphH = 9;
    int x = left;
    for (int i = 0; i < letters; ++i) {
        // A glyph of a few strokes: stems, bars and a dot or two, so that lines
        // of words have the fine detail of real text.
        const uint64_t bits = random.Next();
        const bool tall = (bits & 3) == 0;
        const int y0 = top + (tall ? 0 : 3);
        const int h = tall ? kGlyphH : kGlyphH - 3;
        if (bits & 4)
            picture.FillRect(x, y0, 1, h, ink);
        if (bits & 8)
            picture.FillRect(x + 4, y0, 1, h, ink);
        if (bits & 16)
            picture.FillRect(x, y0, 5, 1, ink);
        if (bits & 32)
            picture.FillRect(x, top + kGlyphH - 1, 5, 1, ink);
        if (bits & 64)
            picture.FillRect(x, top + 5, 5, 1, ink);
        if ((bits & 0x7C) == 0)
            picture.FillRect(x + 2, y0, 1, h, ink);
        if (bits & 128)
            picture.Set(std::clamp(x + 2, 0, picture.Width() - 1), std::clamp(top + 1, 0, picture.Height() - 1),
                        ink);
        x += kGlyphW;
    }
    return x - left;
}

void DrawTextLines(TPicture& picture, int left, int top, int width, int height, uint32_t ink,
                   uint64_t seed)
{
    TRandom random(seed);
    constexpr int kLine = 14;
    for (int y = top + 4; y + 10 <= top + height; y += kLine) {
        int x = left + 4 + (random.Chance(20) ? 24 : 0);  // some lines indented
        const int lineEnd = left + width - 4 - random.Range(0, width / 3);
        while (true) {
            const int letters = random.Range(1, 9);
            if (x + letters * 6 > lineEnd)
                break;
            const uint32_t colour = random.Chance(8) ? 0x0000C0 : ink;  // now and then a link
            x += DrawWord(picture, x, y, letters, colour, random) + 5;
        }
        if (random.Chance(10))
            y += kLine;  // paragraph break
    }
}

void DrawWindow(TPicture& picture, int left, int top, int width, int height, uint64_t seed)
{
    TRandom random(seed);
    static const uint32_t kTitleColours[][2] = {
        {0x0A246A, 0xA6CAF0}, {0x3A6EA5, 0x9DB9EB}, {0x4E7A3A, 0xB5D6A0}, {0x7A3A5E, 0xE0B0C8},
    };
    const auto& title = kTitleColours[random.Range(0, 3)];
    // Frame and title bar.
    picture.FillRect(left, top, width, height, 0xD4D0C8);
    picture.FrameRect(left, top, width, height, 0x404040);
    picture.FrameRect(left + 1, top + 1, width - 2, height - 2, 0xFFFFFF);
    picture.GradientRect(left + 3, top + 3, width - 6, 18, title[0], title[1], false);
    DrawWord(picture, left + 8, top + 7, random.Range(4, 10), 0xFFFFFF, random);
    DrawWord(picture, left + 76, top + 7, random.Range(3, 8), 0xFFFFFF, random);
    for (int i = 0; i < 3; ++i) {  // minimise, maximise, close
        const int bx = left + width - 20 - i * 18;
        picture.FillRect(bx, top + 5, 16, 14, 0xD4D0C8);
        picture.FrameRect(bx, top + 5, 16, 14, 0x404040);
        picture.FillRect(bx + 4, top + 11, 8, 2, 0x000000);
    }
    // Menu line and toolbar.
    int mx = left + 8;
    for (int i = 0; i < 5 && mx < left + width - 60; ++i)
        mx += DrawWord(picture, mx, top + 26, random.Range(3, 7), 0x000000, random) + 12;
    picture.FillRect(left + 3, top + 40, width - 6, 1, 0x808080);
    for (int i = 0; i < 8 && left + 8 + i * 26 + 22 < left + width; ++i) {
        const int bx = left + 8 + i * 26;
        picture.GradientRect(bx, top + 44, 22, 20, 0xFFFFFF, Rgb(random.Range(60, 230), random.Range(60, 230),
                                                                  random.Range(60, 230)), true);
        picture.FrameRect(bx, top + 44, 22, 20, 0x808080);
    }
    // Client area: a page of text, sometimes beside a picture.
    const int cx = left + 4, cy = top + 68, cw = width - 8, ch = height - 72 - 18;
    if (cw <= 0 || ch <= 0)
        return;
    picture.FillRect(cx, cy, cw, ch, 0xFFFFFF);
    picture.FrameRect(cx, cy, cw, ch, 0x808080);
    int textLeft = cx;
    if (cw > 260 && ch > 120 && random.Chance(50)) {
        const int pw = cw / 3, ph = std::min(ch - 16, pw * 3 / 4);
        const uint32_t a = Rgb(random.Range(0, 255), random.Range(0, 255), random.Range(0, 255));
        const uint32_t b = Rgb(random.Range(0, 255), random.Range(0, 255), random.Range(0, 255));
        picture.GradientRect(cx + 8, cy + 8, pw, ph, a, b, random.Chance(50));
        for (int i = 0; i < 6; ++i)  // shapes in the picture
            picture.FillRect(cx + 8 + random.Range(0, pw - 20), cy + 8 + random.Range(0, ph - 20),
                             random.Range(6, 20), random.Range(6, 20), Darker(a, random.Range(20, 80)));
        textLeft = cx + pw + 16;
    }
    DrawTextLines(picture, textLeft, cy + 2, cx + cw - textLeft, ch - 4, 0x000000, random.Next());
    // Status bar.
    picture.FillRect(left + 3, top + height - 18, width - 6, 15, 0xD4D0C8);
    picture.FillRect(left + 3, top + height - 19, width - 6, 1, 0x808080);
    DrawWord(picture, left + 8, top + height - 15, random.Range(4, 12), 0x000000, random);
}

TPicture MakeScreenPicture(int width, int height, uint64_t seed)
{
    TRandom random(seed);
    const uint32_t top = Rgb(random.Range(0, 60), random.Range(40, 110), random.Range(110, 190));
    TPicture picture(width, height);
    picture.GradientRect(0, 0, width, height, top, Darker(top, 60), true);
    // Desktop icons down the left side.
    for (int y = 12; y + 60 < height - 32; y += 72) {
        const uint32_t c = Rgb(random.Range(120, 255), random.Range(120, 255), random.Range(40, 255));
        picture.GradientRect(20, y, 32, 32, 0xFFFFFF, c, true);
        picture.FrameRect(20, y, 32, 32, Darker(c, 80));
        DrawWord(picture, 14, y + 38, random.Range(3, 7), 0xFFFFFF, random);
    }
    // Windows, back to front.
    const int windows = std::max(1, std::min(4, width * height / 160000));
    for (int i = 0; i < windows; ++i) {
        const int w = random.Range(std::max(120, width / 3), std::max(140, width * 3 / 4));
        const int h = random.Range(std::max(100, height / 3), std::max(120, height * 3 / 4));
        const int x = random.Range(80, std::max(80, width - w - 8));
        const int y = random.Range(8, std::max(8, height - 32 - h - 8));
        DrawWindow(picture, x, y, w, h, random.Next());
    }
    // Task bar with a start button, buttons and a clock.
    picture.FillRect(0, height - 30, width, 30, 0xD4D0C8);
    picture.FillRect(0, height - 30, width, 1, 0xFFFFFF);
    picture.GradientRect(2, height - 27, 60, 24, 0x3C8C3C, 0x8CD08C, true);
    DrawWord(picture, 10, height - 20, 5, 0xFFFFFF, random);
    for (int i = 0; i < windows && 70 + i * 150 + 144 < width - 80; ++i) {
        picture.FrameRect(70 + i * 150, height - 27, 144, 24, 0x808080);
        DrawWord(picture, 76 + i * 150, height - 20, random.Range(5, 14), 0x000000, random);
    }
    picture.FrameRect(width - 70, height - 27, 66, 24, 0x808080);
    DrawWord(picture, width - 62, height - 20, 5, 0x000000, random);
    return picture;
}

TPicture MakeArrowCursor(int size)
{
    TPicture c(size, size, 0xFF0000);
    const int tip = size * 2 / 3;
    for (int y = 0; y < tip && y < size; ++y) {
        for (int x = 0; x <= y * 2 / 3; ++x)
            c.Set(x, y, (x == 0 || x == y * 2 / 3 || y == tip - 1) ? 0x000000 : 0xFFFFFF);
    }
    // The tail.
    for (int y = tip - 4; y < std::min(size, tip + size / 4); ++y)
        for (int x = size / 5; x < size / 5 + 4 && x + (y - tip + 4) / 2 < size; ++x)
            c.Set(x + (y - tip + 4) / 2, y, x == size / 5 || x == size / 5 + 3 ? 0x000000 : 0xFFFFFF);
    return c;
}

TPicture MakeBeamCursor(int size)
{
    TPicture c(size, size, 0xFF0000);
    const int mid = size / 2;
    c.FillRect(mid - 1, 2, 3, size - 4, 0xFFFFFF);
    c.FillRect(mid, 3, 1, size - 6, 0x000000);
    c.FillRect(mid - 4, 2, 9, 1, 0x000000);
    c.FillRect(mid - 4, size - 3, 9, 1, 0x000000);
    return c;
}

} // namespace qov::writer
