// bench_scaler: the control's bilinear scaler against GDI's StretchBlt in
// HALFTONE mode, side by side in one run on the same pixels.
//
//   bench_scaler [--rounds N]
//
// A 1920 x 1080 back buffer (a 24-bit top-down DIB section, as the play thread
// keeps it) is drawn at zoom 50 into a 960 x 540 picture bitmap (24-bit
// bottom-up, as the control's picture keeps it): once through
// ScaleBlockBilinear with the block the paint handler computes for the whole
// picture, once through StretchBlt. The two alternate for N rounds; the
// figures are the medians.
// Goal: the scaler reaches at least 0.5 of StretchBlt's throughput.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchArch.h"
#include "BenchSupport.h"
#include "PictureLayout.h"
#include "UnitScale.h"

using qov::bench::NowMs;

namespace {

constexpr int kSourceWidth = 1920;
constexpr int kSourceHeight = 1080;
constexpr int kZoom = 50;

// A 24-bit DIB section selected into its own memory DC.
struct TDib {
    HDC DC = nullptr;
    HBITMAP Bitmap = nullptr;
    HGDIOBJ Saved = nullptr;
    uint8_t* Bits = nullptr;
    int Width = 0;
    int Height = 0;
    int RowBytes = 0;
    bool TopDown = false;

    TDib(int width, int height, bool topDown) : Width(width), Height(height), RowBytes((width * 3 + 3) & ~3), TopDown(topDown)
    {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = topDown ? -height : height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 24;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        DC = CreateCompatibleDC(nullptr);
        Bitmap = CreateDIBSection(DC, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        if (DC == nullptr || Bitmap == nullptr)
            std::exit(1);
        Saved = SelectObject(DC, Bitmap);
        Bits = static_cast<uint8_t*>(bits);
    }
    ~TDib()
    {
        SelectObject(DC, Saved);
        DeleteObject(Bitmap);
        DeleteDC(DC);
    }
    TDib(const TDib&) = delete;
    TDib& operator=(const TDib&) = delete;

    // Row 0 and the step to row 1.
    uint8_t* Row0() const { return TopDown ? Bits : Bits + static_cast<ptrdiff_t>(RowBytes) * (Height - 1); }
    ptrdiff_t Stride() const { return TopDown ? RowBytes : -static_cast<ptrdiff_t>(RowBytes); }
};

// Something like a desktop: gradients, window-like blocks and fine detail.
void FillScreen(TDib& dib)
{
    uint32_t seed = 12345;
    for (int y = 0; y < dib.Height; ++y) {
        uint8_t* p = dib.Row0() + y * dib.Stride();
        for (int x = 0; x < dib.Width; ++x, p += 3) {
            seed = seed * 1103515245u + 12345u;
            const bool window = (x / 240 + y / 180) % 3 == 0;
            p[0] = static_cast<uint8_t>(window ? 0xF0 : x * 255 / dib.Width);
            p[1] = static_cast<uint8_t>(window ? ((x ^ y) & 8 ? 0x20 : 0xE0) : y * 255 / dib.Height);
            p[2] = static_cast<uint8_t>(window ? 0xF0 : (seed >> 24));
        }
    }
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    qov::bench::PrintArchitecture("bench_scaler");
    int rounds = 30;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
    }

    TDib source(kSourceWidth, kSourceHeight, true);
    FillScreen(source);
    const qov::TPicturePlace place = qov::FitPicture(kSourceWidth / 2, kSourceHeight / 2, kSourceWidth, kSourceHeight);
    TDib scaled(place.Width, place.Height, false);
    TDib halftone(place.Width, place.Height, false);
    SetStretchBltMode(halftone.DC, HALFTONE);
    SetBrushOrgEx(halftone.DC, 0, 0, nullptr);

    qov::TPaintBlock block;
    if (place.Zoom != kZoom ||
        !qov::PaintRectangles(qov::display::dmAdaptive, {0, 0, kSourceWidth, kSourceHeight}, kSourceWidth,
                              kSourceHeight, place.Zoom, place.Width, place.Height, block)) {
        std::fprintf(stderr, "bench_scaler: no block to scale\n");
        return 1;
    }
    const qov::TSourcePixels from{source.Bits, source.Stride(), source.Width, source.Height};
    const qov::TDestPixels to{scaled.Row0(), scaled.Stride(), scaled.Width, scaled.Height};

    std::vector<double> scalerMs, stretchMs;
    for (int r = 0; r < rounds + 1; ++r) {
        double t0 = NowMs();
        if (!qov::ScaleBlockBilinear(to, block.Dest, block.Source, from)) {
            std::fprintf(stderr, "bench_scaler: the scaler refused the bitmaps\n");
            return 1;
        }
        double t1 = NowMs();
        if (!StretchBlt(halftone.DC, 0, 0, halftone.Width, halftone.Height, source.DC, 0, 0, kSourceWidth,
                        kSourceHeight, SRCCOPY)) {
            std::fprintf(stderr, "bench_scaler: StretchBlt failed (%lu)\n", GetLastError());
            return 1;
        }
        GdiFlush();
        double t2 = NowMs();
        if (r > 0) {  // the first round warms caches and GDI up
            scalerMs.push_back(t1 - t0);
            stretchMs.push_back(t2 - t1);
        }
    }

    const double scaler = Median(scalerMs), stretch = Median(stretchMs);
    const double pixels = static_cast<double>(place.Width) * place.Height;
    std::printf("%d x %d to %d x %d (zoom %d), %d rounds, medians:\n", kSourceWidth, kSourceHeight, place.Width,
                place.Height, place.Zoom, rounds);
    std::printf("  %-30s %8.2f ms  %8.1f Mpixel/s\n", "ScaleBlockBilinear", scaler, pixels / scaler / 1000.0);
    std::printf("  %-30s %8.2f ms  %8.1f Mpixel/s\n", "StretchBlt HALFTONE", stretch, pixels / stretch / 1000.0);
    const double ratio = stretch / scaler;
    std::printf("  throughput ratio (scaler / StretchBlt): %.2f%s\n", ratio, ratio >= 0.5 ? "" : "  (goal: >= 0.5)");
    return 0;
}
