// Texts as they appear on the test screen (Windows only): pixels read back
// from a device context, the same text drawn by a wide call for comparison,
// and the block of a picture that holds the text's ink.
//
//   TPixels shown = InkBlock(ReadPixels(dc, rect), background);
//   TPixels drawn = InkBlock(DrawWideText(font, L"文件", w, h, background, ink), background);
//   EXPECT_EQ(shown, drawn) << Picture(shown) << Picture(drawn);
#pragma once
#ifdef _WIN32

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qov::test {

// B, G, R per pixel, rows top-down without padding.
struct TPixels {
    int Width = 0;
    int Height = 0;
    std::vector<uint8_t> Bytes;
    COLORREF At(int x, int y) const;
    bool operator==(const TPixels& other) const = default;
};

// What dc shows in r (GetWindowDC reaches the frame and the menu bar).
TPixels ReadPixels(HDC dc, const RECT& r);
// text on one line, centred in width x height, drawn with DrawTextW in font
// and colour ink on background.
TPixels DrawWideText(HFONT font, const std::wstring& text, int width, int height, COLORREF background,
                     COLORREF ink);
// The colour most pixels have.
COLORREF Background(const TPixels& pixels);
// The smallest block holding every pixel that differs from background (empty
// when there is none).
TPixels InkBlock(const TPixels& pixels, COLORREF background);
// True when each character of text draws a picture of its own in font: where
// no font has glyphs for them, every character shows the same box (or
// nothing).
bool DistinctGlyphs(HFONT font, const std::wstring& text);
// The block as text, "#" for ink and "." for background, for failure messages.
std::string Picture(const TPixels& pixels, COLORREF background);

} // namespace qov::test

#endif
