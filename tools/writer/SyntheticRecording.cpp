#include "SyntheticRecording.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "QovWriter.h"

namespace qov::writer {

namespace {

struct TRectPayload {
    int16_t Kind;
    uint16_t Compression;
    int Width;
    int Height;
    Bytes Payload;
};

// Cursor path: a slow Lissajous figure over the screen.
void CursorAt(const TSyntheticOptions& o, uint32_t time, uint16_t* x, uint16_t* y)
{
    const double t = time / 1000.0;
    *x = uint16_t(1 + (o.Width - 2) * (0.5 + 0.45 * std::sin(t * 0.37)));
    *y = uint16_t(1 + (o.Height - 2) * (0.5 + 0.45 * std::sin(t * 0.23 + 1.0)));
}

} // namespace

TSyntheticOptions SyntheticMinutes(uint32_t minutes, uint64_t targetBytes)
{
    TSyntheticOptions o;
    o.DurationMs = minutes * 60u * 1000u;
    o.TargetBytes = targetBytes;
    return o;
}

TSyntheticSummary WriteSyntheticRecording(const std::string& path, const TSyntheticOptions& o)
{
    if (o.Width < 64 || o.Height < 64 || o.KeyFrameIntervalMs == 0 || o.KeyPictures < 1 || o.RectPayloads < 1 ||
        o.RectMinSize < 1 || o.RectMaxSize < o.RectMinSize)
        throw std::invalid_argument("WriteSyntheticRecording: bad options");

    // The payload pool.
    TRandom random(o.Seed);
    std::vector<TPicture> screens;
    std::vector<Bytes> keyPayloads;
    for (int i = 0; i < o.KeyPictures; ++i) {
        screens.push_back(MakeScreenPicture(o.Width, o.Height, o.Seed * 1000 + uint64_t(i)));
        keyPayloads.push_back(EncodePicture(screens.back(), o.KeyFrameCompression));
    }
    static const uint16_t kRectCompressions[] = {ctZlib, ctLZO1X, ctJPEG, ctStored};
    std::vector<TRectPayload> rects;
    for (int i = 0; i < o.RectPayloads; ++i) {
        TRectPayload r;
        r.Compression = kRectCompressions[i % 4];
        // Exclusive-or rectangles only with lossless payloads.
        r.Kind = (i % 5 == 4 && r.Compression != ctJPEG) ? fkXorRect : fkCopyRect;
        const int maxSide = std::min({o.RectMaxSize, int(o.Width), int(o.Height)});
        r.Width = random.Range(std::min(o.RectMinSize, maxSide), maxSide);
        r.Height = random.Range(std::min(o.RectMinSize, maxSide), maxSide);
        const TPicture& a = screens[size_t(i) % screens.size()];
        const TPicture& b = screens[size_t(i + 1) % screens.size()];
        const int x = random.Range(0, o.Width - r.Width), y = random.Range(0, o.Height - r.Height);
        const TPicture after = b.Crop(x, y, r.Width, r.Height);
        const TPicture picture = r.Kind == fkXorRect ? XorPictures(a.Crop(x, y, r.Width, r.Height), after) : after;
        r.Payload = EncodePicture(picture, r.Compression);
        rects.push_back(std::move(r));
    }

    TRecordingFileWriter file(path, o.Width, o.Height, o.Version);
    TSyntheticSummary summary;
    size_t nextKey = 0, nextRect = 0;
    // Frames fall on a 10 ms grid; each kind keeps its own schedule.
    constexpr uint32_t kTick = 10;
    uint64_t nextKeyTime = 0;
    uint64_t nextRectTime = o.RectIntervalMs ? o.RectIntervalMs : UINT64_MAX;
    uint64_t nextCursorTime = o.CursorIntervalMs ? 0 : UINT64_MAX;
    uint64_t nextMarkerTime = o.MarkerIntervalMs ? o.MarkerIntervalMs : UINT64_MAX;
    uint16_t cx = 0, cy = 0;

    for (uint64_t t64 = 0; t64 <= o.DurationMs; t64 += kTick) {
        const uint32_t t = uint32_t(t64);
        CursorAt(o, t, &cx, &cy);
        if (t64 >= nextKeyTime) {
            const Bytes& payload = keyPayloads[nextKey++ % keyPayloads.size()];
            file.AddFrame(MakeFrameHeader(t, fkKeyFrame, o.KeyFrameCompression, 0, 0, 0, cx, cy), payload);
            ++summary.KeyFrames;
            while (nextKeyTime <= t64)
                nextKeyTime += o.KeyFrameIntervalMs;
        }
        // Rectangles: as many as keep the file on its target, or by the clock.
        int due = 0;
        if (o.TargetBytes) {
            const double share = double(t) / double(std::max<uint32_t>(o.DurationMs, 1));
            const uint64_t wanted = uint64_t(double(o.TargetBytes) * share);
            uint64_t bytes = file.FileBytes();
            while (due < 64 && bytes < wanted) {
                bytes += kFrameHeaderSize + rects[(nextRect + size_t(due)) % rects.size()].Payload.size();
                ++due;
            }
        } else {
            for (; t64 >= nextRectTime && due < 64; nextRectTime += o.RectIntervalMs)
                ++due;
        }
        for (int i = 0; i < due; ++i) {
            const TRectPayload& r = rects[nextRect++ % rects.size()];
            const uint16_t left = uint16_t(random.Range(0, o.Width - r.Width));
            const uint16_t top = uint16_t(random.Range(0, o.Height - r.Height));
            file.AddFrame(MakeFrameHeader(t, r.Kind, r.Compression, left, top, 0, cx, cy), r.Payload);
            ++summary.Rects;
        }
        if (t64 >= nextMarkerTime) {
            file.AddFrame(MakeFrameHeader(t, fkMarker, ctStored, 0, 0, 0), nullptr, 0);
            while (nextMarkerTime <= t64)
                nextMarkerTime += o.MarkerIntervalMs;
        }
        const bool last = t64 + kTick > o.DurationMs;
        if (t64 >= nextCursorTime || last) {
            // The last frame lies at the duration.
            const uint32_t when = last ? o.DurationMs : t;
            CursorAt(o, when, &cx, &cy);
            file.AddFrame(MakeFrameHeader(when, fkCursor, ctStored, cx, cy, 0), nullptr, 0);
            while (nextCursorTime <= t64)
                nextCursorTime += o.CursorIntervalMs;
        }
    }
    summary.Frames = file.FrameCount();
    summary.Duration = o.DurationMs;
    summary.FileBytes = file.Finish(o.DurationMs);
    return summary;
}

} // namespace qov::writer
