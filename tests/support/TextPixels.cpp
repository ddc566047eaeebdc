#include "TextPixels.h"
#ifdef _WIN32

#include <algorithm>
#include <cstring>
#include <map>

namespace qov::test {

namespace {

// A 24-bit top-down DIB section selected into a memory DC.
struct TCanvas {
    HDC DC = nullptr;
    HBITMAP Bitmap = nullptr;
    HGDIOBJ Old = nullptr;
    uint8_t* Bits = nullptr;
    int Width, Height, Stride;

    TCanvas(int width, int height) : Width(width), Height(height), Stride((width * 3 + 3) & ~3)
    {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 24;
        info.bmiHeader.biCompression = BI_RGB;
        DC = CreateCompatibleDC(nullptr);
        void* bits = nullptr;
        Bitmap = CreateDIBSection(DC, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        Bits = static_cast<uint8_t*>(bits);
        Old = SelectObject(DC, Bitmap);
    }
    ~TCanvas()
    {
        SelectObject(DC, Old);
        DeleteObject(Bitmap);
        DeleteDC(DC);
    }
    TPixels Pixels() const
    {
        GdiFlush();
        TPixels out{Width, Height, std::vector<uint8_t>(static_cast<size_t>(Width) * Height * 3)};
        for (int y = 0; y < Height; ++y)
            std::memcpy(&out.Bytes[static_cast<size_t>(y) * Width * 3], Bits + y * Stride,
                        static_cast<size_t>(Width) * 3);
        return out;
    }
};

} // namespace

COLORREF TPixels::At(int x, int y) const
{
    const uint8_t* p = &Bytes[(static_cast<size_t>(y) * Width + x) * 3];
    return RGB(p[2], p[1], p[0]);
}

TPixels ReadPixels(HDC dc, const RECT& r)
{
    TCanvas canvas(r.right - r.left, r.bottom - r.top);
    BitBlt(canvas.DC, 0, 0, canvas.Width, canvas.Height, dc, r.left, r.top, SRCCOPY);
    return canvas.Pixels();
}

TPixels DrawWideText(HFONT font, const std::wstring& text, int width, int height, COLORREF background,
                     COLORREF ink)
{
    TCanvas canvas(width, height);
    RECT r{0, 0, width, height};
    HBRUSH brush = CreateSolidBrush(background);
    FillRect(canvas.DC, &r, brush);
    DeleteObject(brush);
    HGDIOBJ old = SelectObject(canvas.DC, font);
    SetBkMode(canvas.DC, TRANSPARENT);
    SetTextColor(canvas.DC, ink);
    DrawTextW(canvas.DC, text.c_str(), static_cast<int>(text.size()), &r,
              DT_SINGLELINE | DT_CENTER | DT_VCENTER | DT_NOPREFIX);
    SelectObject(canvas.DC, old);
    return canvas.Pixels();
}

COLORREF Background(const TPixels& pixels)
{
    std::map<COLORREF, int> counts;
    for (int y = 0; y < pixels.Height; ++y)
        for (int x = 0; x < pixels.Width; ++x)
            ++counts[pixels.At(x, y)];
    const auto most = std::max_element(counts.begin(), counts.end(),
                                       [](const auto& a, const auto& b) { return a.second < b.second; });
    return most == counts.end() ? 0 : most->first;
}

TPixels InkBlock(const TPixels& pixels, COLORREF background)
{
    int left = pixels.Width, top = pixels.Height, right = -1, bottom = -1;
    for (int y = 0; y < pixels.Height; ++y)
        for (int x = 0; x < pixels.Width; ++x)
            if (pixels.At(x, y) != background) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
    TPixels block;
    if (right < 0)
        return block;
    block.Width = right - left + 1;
    block.Height = bottom - top + 1;
    for (int y = top; y <= bottom; ++y) {
        const auto row = pixels.Bytes.begin() + (static_cast<ptrdiff_t>(y) * pixels.Width + left) * 3;
        block.Bytes.insert(block.Bytes.end(), row, row + block.Width * 3);
    }
    return block;
}

bool DistinctGlyphs(HFONT font, const std::wstring& text)
{
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    DeleteDC(dc);
    const int size = static_cast<int>(metrics.tmHeight) * 2 + 4;
    std::vector<TPixels> glyphs;
    for (wchar_t c : text) {
        TPixels glyph = InkBlock(DrawWideText(font, std::wstring(1, c), size, size, RGB(255, 255, 255), 0),
                                 RGB(255, 255, 255));
        if (glyph.Bytes.empty() || std::find(glyphs.begin(), glyphs.end(), glyph) != glyphs.end())
            return false;
        glyphs.push_back(std::move(glyph));
    }
    return true;
}

std::string Picture(const TPixels& pixels, COLORREF background)
{
    std::string out = "\n" + std::to_string(pixels.Width) + " x " + std::to_string(pixels.Height) + "\n";
    for (int y = 0; y < pixels.Height; ++y) {
        for (int x = 0; x < pixels.Width; ++x)
            out += pixels.At(x, y) == background ? '.' : '#';
        out += '\n';
    }
    return out;
}

} // namespace qov::test

#endif
