// Frame decoder throughput: every compression type on a 1920 x 1080 key frame
// and on 256 x 256 rectangles of screen-like content, decoded through
// QovPlayer.ocx's UnZipBufferEx into the shared buffer (output lock held), and
// the same payloads decoded directly by the libraries: TurboJPEG
// tjDecompress2 to bottom-up B,G,R with the fast integer DCT (the decoder's
// settings; block smoothing only acts on progressive streams, which these are
// not), zlib uncompress, lzo1x_decompress_safe, memcpy. Prints MB/s of output
// and the ratio decoder / direct.
//
//   bench_decoder [milliseconds per measurement, default 300]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <lzo/lzo1x.h>
#include <turbojpeg.h>
#include <zlib.h>

#include "BenchSupport.h"
#include "PayloadCodecs.h"
#include "QovFormat.h"
#include "UnitShare.h"
#include "BenchArch.h"

using qov::writer::Bytes;

namespace {

constexpr uint32_t kShared = 0xA00000;

// A desktop: a gradient background, windows with title bars, lines of
// text-like glyph strokes, an icon column and a photo-like area.
uint32_t Desktop(int x, int y)
{
    const int wx = x % 960, wy = y % 540;
    if (wx >= 40 && wx < 900 && wy >= 30 && wy < 500) {
        if (wy < 54)
            return wx > 860 ? 0xC04040 : 0x2050A0;                  // title bar
        if (wx < 240)
            return ((wx / 24 + wy / 24) % 7 == 0) ? 0xE0C060 : 0xF4F4F4;  // side panel
        if (wy > 360 && wx > 600)                                    // picture
            return uint32_t(((wx * 3 + wy) & 0xFF) << 16 | ((wx + wy * 5) & 0xFF) << 8 | ((wx ^ wy) & 0xFF));
        const int line = (wy - 60) % 18, col = (wx - 250) % 9;
        if (line >= 3 && line < 13 && col < 7 && ((wx * 7 + wy * 13 + (wx / 9) * 17) % 5) < 2)
            return 0x101010;                                         // glyph strokes
        return 0xFFFFFF;
    }
    return uint32_t(0x204060 + ((x * 64 / 1920) << 8) + (y * 96 / 1080));
}

// Seconds on the performance counter.
double Now()
{
    return qov::bench::NowMs() / 1000.0;
}

// Calls of f that take about seconds.
int Calibrate(const std::function<void()>& f, double seconds)
{
    f();
    int calls = 1;
    for (;;) {
        const double start = Now();
        for (int i = 0; i < calls; ++i)
            f();
        const double took = Now() - start;
        if (took > seconds / 4)
            return std::max(1, int(calls * seconds / took));
        calls *= 2;
    }
}

// Seconds per call of a and of b: the best of rounds that alternate between
// them, so that both meet the same machine load.
std::pair<double, double> TimePerCall(const std::function<void()>& a, const std::function<void()>& b,
                                      double budget)
{
    const int rounds = 9;
    const int callsA = Calibrate(a, budget / rounds), callsB = Calibrate(b, budget / rounds);
    double bestA = 1e30, bestB = 1e30;
    for (int round = 0; round < rounds; ++round) {
        double start = Now();
        for (int i = 0; i < callsA; ++i)
            a();
        bestA = std::min(bestA, (Now() - start) / callsA);
        start = Now();
        for (int i = 0; i < callsB; ++i)
            b();
        bestB = std::min(bestB, (Now() - start) / callsB);
    }
    return {bestA, bestB};
}

struct Workload {
    std::string Name;
    int Width, Height;
    std::vector<Bytes> Pictures;  // stored BMP images
    std::vector<Bytes> Jpegs;
    std::vector<Bytes> Lzo;
    std::vector<Bytes> Zlib;
};

Workload Make(const char* name, int width, int height, int count)
{
    Workload w{name, width, height, {}, {}, {}, {}};
    for (int i = 0; i < count; ++i) {
        const int ox = (i * 613) % (1920 - width + 1), oy = (i * 331) % (1080 - height + 1);
        auto pixel = [ox, oy](int x, int y) { return Desktop(ox + x, oy + y); };
        w.Pictures.push_back(qov::writer::MakeBmp(width, height, 24, pixel));
        w.Jpegs.push_back(qov::writer::EncodeJpeg(width, height, 3, 80, pixel));
        w.Lzo.push_back(qov::writer::EncodeLzo1x1(w.Pictures.back()));
        w.Zlib.push_back(qov::writer::EncodeZlib(w.Pictures.back()));
    }
    return w;
}

bool Fail(const char* what)
{
    std::printf("FAILED: %s\n", what);
    return false;
}

bool Run(const Workload& w, double budget, tjhandle tj, std::vector<uint8_t>& direct)
{
    const size_t n = w.Pictures.size();
    const uint32_t stride = qov::RowBytes(uint32_t(w.Width), 24);
    const uint32_t jpegSize = 54 + stride * uint32_t(w.Height);

    struct Case {
        const char* Type;
        uint16_t Compression;
        const std::vector<Bytes>* Payloads;
        std::function<int(const Bytes&, size_t)> Direct;
        std::function<uint32_t(size_t)> OutputBytes;
    };
    const Case cases[] = {
        {"stored", qov::ctStored, &w.Pictures,
         [&](const Bytes& p, size_t) {
             std::memcpy(direct.data(), p.data(), p.size());
             return int(p.size());
         },
         [&](size_t i) { return uint32_t(w.Pictures[i].size()); }},
        {"JPEG", qov::ctJPEG, &w.Jpegs,
         [&](const Bytes& p, size_t) {
             return tjDecompress2(tj, p.data(), (unsigned long)p.size(), direct.data() + 54, w.Width, int(stride),
                                  w.Height, TJPF_BGR, TJFLAG_FASTDCT | TJFLAG_BOTTOMUP) == 0
                        ? int(jpegSize)
                        : -3;
         },
         [&](size_t) { return jpegSize; }},
        {"LZO1X", qov::ctLZO1X, &w.Lzo,
         [&](const Bytes& p, size_t) {
             lzo_uint length = kShared;
             return lzo1x_decompress_safe(p.data(), p.size(), direct.data(), &length, nullptr) == LZO_E_OK
                        ? int(length)
                        : -3;
         },
         [&](size_t i) { return uint32_t(w.Pictures[i].size()); }},
        {"zlib", qov::ctZlib, &w.Zlib,
         [&](const Bytes& p, size_t) {
             uLongf length = kShared;
             return uncompress(direct.data(), &length, p.data(), uLong(p.size())) == Z_OK ? int(length) : -3;
         },
         [&](size_t i) { return uint32_t(w.Pictures[i].size()); }},
    };

    bool ok = true;
    for (const Case& c : cases) {
        // Both sides must produce the same image before they are timed.
        for (size_t i = 0; i < n; ++i) {
            const Bytes& p = (*c.Payloads)[i];
            void* shared = nullptr;
            qov::TOutputLock lock;
            const int got = UnZipBufferEx(p.data(), uint32_t(p.size()), c.Compression, &shared, 0);
            const int want = c.Direct(p, i);
            if (got != int(c.OutputBytes(i)) || want != got)
                ok = Fail((w.Name + " " + c.Type + ": wrong length").c_str());
            else if (std::memcmp(static_cast<uint8_t*>(shared) + 54, direct.data() + 54, size_t(got) - 54) != 0)
                ok = Fail((w.Name + " " + c.Type + ": different pixels").c_str());
        }
        uint64_t bytes = 0;
        for (size_t i = 0; i < n; ++i)
            bytes += c.OutputBytes(i);
        const double perImage = double(bytes) / double(n);

        size_t decoderIndex = 0, directIndex = 0;
        qov::TOutputLock lock;  // held across the decoder's calls, as the play thread does
        const auto [decoderTime, directTime] = TimePerCall(
            [&] {
                const Bytes& p = (*c.Payloads)[decoderIndex++ % n];
                void* shared = nullptr;
                if (UnZipBufferEx(p.data(), uint32_t(p.size()), c.Compression, &shared, 0) <= 0)
                    std::abort();
            },
            [&] {
                const size_t i = directIndex++ % n;
                if (c.Direct((*c.Payloads)[i], i) <= 0)
                    std::abort();
            },
            budget);
        const double decoderRate = perImage / decoderTime / 1e6, directRate = perImage / directTime / 1e6;
        std::printf("%-10s %-7s %9.1f MB/s %9.1f MB/s   %5.3f  %8.3f ms/frame\n", w.Name.c_str(), c.Type,
                    decoderRate, directRate, decoderRate / directRate, decoderTime * 1e3);
    }
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    qov::bench::PrintArchitecture("bench_decoder");
    const double budget = (argc > 1 ? std::atof(argv[1]) : 300.0) / 1000.0;
    if (lzo_init() != LZO_E_OK || !InitDecoder())
        return 1;
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
    tjhandle tj = tjInitDecompress();
    std::vector<uint8_t> direct(kShared);
    std::memset(direct.data(), 0, direct.size());

    std::printf("%-10s %-7s %14s %14s %7s\n", "picture", "type", "decoder", "direct", "ratio");
    bool ok = Run(Make("1920x1080", 1920, 1080, 2), budget, tj, direct);
    ok = Run(Make("256x256", 256, 256, 16), budget, tj, direct) && ok;

    tjDestroy(tj);
    UninitDecoder();
    return ok ? 0 : 1;
}
