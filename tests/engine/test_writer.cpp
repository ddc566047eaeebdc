// The recording writer itself: pictures, payload encoders, streaming output,
// the synthetic long recording and the still pictures the tests rely on.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <stdexcept>

#include "QovWriter.h"
#include "RecordingFixtures.h"
#include "SampleRecording.h"
#include "SyntheticRecording.h"

using namespace qov;
using namespace qov::writer;
using namespace qov::test;

namespace {

Bytes ReadFile(const std::string& path)
{
    Bytes out;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return out;
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        out.insert(out.end(), chunk, chunk + n);
    std::fclose(f);
    return out;
}

struct TScratchFile {
    explicit TScratchFile(const std::string& name) : Path(ScratchPath(name)) {}
    ~TScratchFile() { std::remove(Path.c_str()); }
    std::string Path;
};

} // namespace

TEST(ScreenPictures, DeterministicAndSeeded)
{
    const TPicture a = MakeScreenPicture(400, 300, 11);
    EXPECT_EQ(a, MakeScreenPicture(400, 300, 11));
    EXPECT_NE(a, MakeScreenPicture(400, 300, 12));
    // Looks like a screen, not like noise or a flat colour: many colours, long runs.
    std::set<uint32_t> colours(a.Pixels().begin(), a.Pixels().end());
    EXPECT_GT(colours.size(), 50u);
    EXPECT_LT(EncodeZlib(PictureBmp(a)).size(), PictureBmp(a).size() / 4);
}

TEST(ScreenPictures, CropPasteAndXor)
{
    const TPicture screen = MakeScreenPicture(120, 90, 5);
    const TPicture part = screen.Crop(100, 80, 30, 20);  // runs past the edge
    EXPECT_EQ(part.At(0, 0), screen.At(100, 80));
    EXPECT_EQ(part.At(25, 15), 0u);  // outside: black

    TPicture copy = screen;
    const TPicture after(10, 10, 0x123456);
    copy.XorWith(XorPictures(screen.Crop(5, 6, 10, 10), after), 5, 6);
    EXPECT_EQ(copy.Crop(5, 6, 10, 10), after);
    EXPECT_EQ(copy.At(4, 6), screen.At(4, 6));
    copy.Paste(screen.Crop(5, 6, 10, 10), 5, 6);
    EXPECT_EQ(copy, screen);
}

TEST(PayloadEncoders, BmpStyles)
{
    const TPicture p(5, 3, [](int x, int y) { return uint32_t(x * 50) << 16 | uint32_t(y * 100); });
    TPayloadStyle style;
    style.Bits = 32;
    style.TopDown = true;
    const Bytes bmp = PictureBmp(p, style);
    int32_t height;
    std::memcpy(&height, bmp.data() + 22, 4);
    EXPECT_EQ(height, -3);
    EXPECT_EQ(bmp[28], 32);
    EXPECT_EQ(bmp.size(), 54u + 5 * 4 * 3);
    EXPECT_EQ(ReadBmp(bmp), p);
    EXPECT_EQ(ReadBmp(PictureBmp(p)), p);  // 24 bits, bottom-up, rows of 16 bytes
    EXPECT_EQ(PictureBmp(p).size(), 54u + 16 * 3);
    EXPECT_THROW(EncodePicture(p, 4), std::invalid_argument);
}

TEST(PayloadEncoders, JpegFailureIsAnExceptionAndLeavesTheEncoderUsable)
{
    const auto grey = [](int, int) { return 0x808080u; };
    EXPECT_THROW(EncodeJpeg(0, 0, 3, 80, grey), std::runtime_error);
    EXPECT_THROW(EncodeJpeg(70000, 1, 3, 80, grey), std::runtime_error);
    const Bytes ok = EncodeJpeg(8, 8, 1, 80, grey);
    ASSERT_GT(ok.size(), 100u);
    EXPECT_EQ(DecodeJpeg(ok).At(3, 3) & 0xFF, 0x80u);
}

TEST(PayloadEncoders, JpegLargerThanTheFirstOutputBlock)
{
    // Noise at high quality: far more than the encoder's first 64 KiB block.
    TRandom random(3);
    const TPicture noise(300, 300, [&](int, int) { return uint32_t(random.Next()); });
    const Bytes jpeg = EncodeJpeg(300, 300, 3, 98, noise.PixelFunction());
    EXPECT_GT(jpeg.size(), 128u * 1024);  // the block had to grow at least twice
    const TPicture decoded = DecodeJpeg(jpeg);
    EXPECT_EQ(decoded.Width(), 300);
    EXPECT_EQ(decoded.Height(), 300);
}

TEST(StillPictures, BmpAndJpegFiles)
{
    const Bytes bmp = MakeStillBmp(64, 40, 2);
    uint32_t size;
    std::memcpy(&size, bmp.data() + 2, 4);
    EXPECT_EQ(size, bmp.size());
    EXPECT_EQ(ReadBmp(bmp), MakeScreenPicture(64, 40, 2));

    // A still JPEG is stored top row first, unlike a JPEG payload.
    const TPicture p(16, 16, [](int, int y) { return y == 0 ? 0x000000u : 0xFFFFFFu; });
    const TPicture decoded = DecodeJpeg(PictureJpeg(p));
    EXPECT_LT(decoded.At(8, 0) & 0xFF, 40u);
    EXPECT_GT(decoded.At(8, 15) & 0xFF, 215u);

    const Bytes wide = WithJpegSize(MakeStillJpeg(32, 16), 65535, 16);
    EXPECT_EQ(wide.size(), MakeStillJpeg(32, 16).size());
    EXPECT_THROW(WithJpegSize(Bytes{0xFF, 0xD8, 0xFF, 0xD9}, 1, 1), std::invalid_argument);
}

TEST(RecordingWriter, RefusesWhatTheFormatCannotHold)
{
    EXPECT_THROW(TRecordingWriter(10, 10, 0x0102), std::invalid_argument);
    // 8-byte entries hold 32-bit offsets only.
    EXPECT_THROW(MakeIndex(kVersion0100, {{0, 0x100000000ull}}), std::out_of_range);
    EXPECT_EQ(MakeIndex(kVersion0101, {{0, 0x100000000ull}}).size(), 32u);
    TRecordingWriter w(10, 10, kVersion0000);
    w.SetIndexEntries({{5, 0x1FFFFFFFFull}});
    EXPECT_THROW(w.Build(), std::out_of_range);
}

TEST(RecordingWriter, ExplicitIndexAndTail)
{
    TRecordingWriter w(32, 32);
    w.AddKeyFrame(0, TPicture(32, 32, 0xFF), ctStored);
    w.AddKeyFrame(500, TPicture(32, 32, 0xFF00), ctStored);
    w.SetIndexEntries({{500, w.Frames()[1].Offset}});
    w.SetTail(Bytes(100, 0x77));  // after the index: not read
    const auto r = ReadRecording(w.Build());
    ASSERT_EQ(r.Code, ecNone);
    ASSERT_EQ(r.Index.size(), 1u);
    EXPECT_EQ(r.Index[0].Time, 500u);
    EXPECT_EQ(r.Index[0].Offset, 28u + w.Frames()[0].Payload.size());
    w.UseAutomaticIndex();
    EXPECT_EQ(ReadRecording(w.Build()).Index.size(), 2u);
}

TEST(RecordingWriter, StreamingFileMatchesTheInMemoryRecording)
{
    for (uint16_t version : {kVersion0100, kVersion0101}) {
        TRecordingWriter w(200, 100, version);
        const TPicture screen = MakeScreenPicture(200, 100, 9);
        w.AddKeyFrame(0, screen, ctZlib, 3, 4);
        w.AddCopyRect(20, 5, 5, screen.Crop(0, 0, 17, 9), ctJPEG);
        w.AddCursorMove(30, 9, 9);
        w.AddKeyFrame(700, screen, ctLZO1X);
        w.AddMarker(900);

        TScratchFile file("stream.qov");
        TRecordingFileWriter out(file.Path, 200, 100, version);
        for (const TFrameInfo& f : w.Frames())
            out.AddFrame(f.Header, f.Payload);
        EXPECT_EQ(out.IndexEntries().size(), 2u);
        const uint64_t size = out.Finish();
        const Bytes expected = w.Build();
        EXPECT_EQ(size, expected.size());
        EXPECT_EQ(ReadFile(file.Path), expected) << version;
    }
}

TEST(RecordingWriter, SaveWritesTheFile)
{
    TRecordingWriter w(16, 16, kVersion0000);
    w.AddKeyFrame(0, TPicture(16, 16, 0xABCDEF), ctZlib);
    TScratchFile file("save.qov");
    w.Save(file.Path);
    EXPECT_EQ(ReadFile(file.Path), w.Build());
    EXPECT_THROW(w.Save("no-such-folder/x/y.qov"), std::runtime_error);
}

TEST(SyntheticRecording, KeyFramesOnTheClockAndSizeOnTarget)
{
    TSyntheticOptions o;
    o.Width = 640;
    o.Height = 360;
    o.DurationMs = 2 * 60 * 1000 + 500;
    o.TargetBytes = 6 * 1000 * 1000;
    o.RectPayloads = 12;
    TScratchFile file("synthetic.qov");
    const TSyntheticSummary s = WriteSyntheticRecording(file.Path, o);
    const Bytes bytes = ReadFile(file.Path);
    ASSERT_EQ(s.FileBytes, bytes.size());
    EXPECT_NEAR(double(s.FileBytes), double(o.TargetBytes), o.TargetBytes * 0.05);

    const auto r = ReadRecording(bytes);
    ASSERT_EQ(r.Code, ecNone);
    EXPECT_EQ(r.Header.Width, 640);
    EXPECT_EQ(r.Header.Duration, o.DurationMs);
    EXPECT_EQ(r.LeftOver, 0u);
    ASSERT_EQ(r.Frames.size(), s.Frames);
    EXPECT_EQ(r.Frames.back().Header.Time, o.DurationMs);
    ASSERT_EQ(r.Index.size(), 5u);  // 0, 30, 60, 90, 120 s
    for (size_t i = 0; i < r.Index.size(); ++i) {
        EXPECT_EQ(r.Index[i].Time, i * 30000);
        FrameHeader h;
        std::memcpy(&h, bytes.data() + 32 + r.Index[i].Offset, sizeof h);
        EXPECT_EQ(h.Kind, fkKeyFrame);
    }
    std::set<int> kinds, compressions;
    uint32_t last = 0;
    for (const auto& f : r.Frames) {
        EXPECT_GE(f.Header.Time, last);
        last = f.Header.Time;
        kinds.insert(f.Header.Kind);
        if (f.Header.Length > 0)
            compressions.insert(f.Header.Compression);
        if (f.Header.Kind == fkCopyRect || f.Header.Kind == fkXorRect) {
            EXPECT_LE(f.Header.Left + 24, 640);
            EXPECT_LE(f.Header.Top + 24, 360);
        }
    }
    EXPECT_EQ(kinds, (std::set<int>{fkXorRect, fkKeyFrame, fkCursor, fkCopyRect}));
    EXPECT_EQ(compressions, (std::set<int>{ctStored, ctJPEG, ctLZO1X, ctZlib}));
}

TEST(SyntheticRecording, RectanglesByTheClockWithoutTarget)
{
    TSyntheticOptions o;
    o.Width = 320;
    o.Height = 240;
    o.DurationMs = 61000;
    o.RectIntervalMs = 1000;
    o.CursorIntervalMs = 0;
    o.MarkerIntervalMs = 20000;
    o.Version = kVersion0100;
    o.RectPayloads = 5;
    TScratchFile file("clock.qov");
    const TSyntheticSummary s = WriteSyntheticRecording(file.Path, o);
    EXPECT_EQ(s.KeyFrames, 3u);
    EXPECT_EQ(s.Rects, 61u);  // 1 s to 61 s
    const auto r = ReadRecording(ReadFile(file.Path));
    ASSERT_EQ(r.Code, ecNone);
    EXPECT_EQ(r.Header.Version, kVersion0100);
    int markers = 0;
    for (const auto& f : r.Frames)
        markers += f.Header.Kind == fkMarker;
    EXPECT_EQ(markers, 3);
    EXPECT_EQ(r.Frames.back().Header.Time, 61000u);
}

TEST(SampleRecording, EveryKindAndCompressionInOrder)
{
    const TRecordingWriter sample = BuildSampleRecording();
    const auto r = ReadRecording(sample.Build());
    ASSERT_EQ(r.Code, ecNone);
    EXPECT_EQ(r.Header.Version, kVersion0101);
    EXPECT_EQ(r.Header.Width, kSampleWidth);
    EXPECT_EQ(r.Header.Height, kSampleHeight);
    EXPECT_EQ(r.Header.Duration, 20000u);
    EXPECT_GE(r.Index.size(), 3u);
    std::set<int> kinds, compressions, keyCompressions;
    bool hidden = false, moved = false, shaped = false;
    uint32_t last = 0;
    for (const auto& f : r.Frames) {
        const FrameHeader& h = f.Header;
        EXPECT_GE(h.Time, last);
        last = h.Time;
        kinds.insert(h.Kind);
        if (h.Length > 0)
            compressions.insert(h.Compression);
        if (h.Kind == fkKeyFrame)
            keyCompressions.insert(h.Compression);
        if (h.Kind == fkCursor) {
            hidden |= h.Length == 0 && h.Left == 0 && h.Top == 0;
            moved |= h.Length == 0 && h.Left > 0;
            shaped |= h.Length > 0;
        }
    }
    EXPECT_EQ(last, 20000u);
    EXPECT_EQ(kinds, (std::set<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(compressions, (std::set<int>{0, 1, 2, 3}));
    EXPECT_GE(keyCompressions.size(), 3u);
    EXPECT_TRUE(hidden);
    EXPECT_TRUE(moved);
    EXPECT_TRUE(shaped);
    // Every rectangle lies on the screen.
    for (const TFrameInfo& f : sample.Frames())
        if (f.Header.Kind == fkCopyRect || f.Header.Kind == fkXorRect || f.Header.Kind == fkKeyFrame) {
            EXPECT_LE(f.Header.Left + f.Picture.Width(), kSampleWidth);
            EXPECT_LE(f.Header.Top + f.Picture.Height(), kSampleHeight);
        }
}
