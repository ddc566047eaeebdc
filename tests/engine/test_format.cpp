#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "QovFormat.h"
#include "RecordingFixtures.h"
#include "RecordingReader.h"

using namespace qov;
using namespace qov::writer;
using qov::test::ReadRecording;

TEST(RecordingFormat, StatusTexts)
{
    // Every code's own text, as the control shows it and the log records it
    // (this file is compiled to GBK bytes like the engine).
    static const char* const expected[16] = {
        "",
        "屏幕流文件被破坏",
        "屏幕流文件没有索引信息",
        "无法与目标计算机建立网络连接",
        "拒绝提供直播服务",
        "屏幕流文件被破坏",
        "发生未知错误，请看错误日志文件",
        "发生网络错误",
        "无效的 URL",
        "无效的多播格式文件",
        "无效的文件格式",
        "重定位失败",
        "解析计算机地址失败",
        "屏幕流索引表无效",
        "QovPlayer 需要升级",
        "读文件失败",
    };
    for (int code = 1; code <= 15; ++code)
        EXPECT_STREQ(EngineErrorText(code), expected[code]) << "code " << code;
    EXPECT_STREQ(EngineErrorText(14), "QovPlayer \xD0\xE8\xD2\xAA\xC9\xFD\xBC\xB6");  // GBK
    EXPECT_STREQ(EngineErrorText(1), EngineErrorText(5));
    EXPECT_STREQ(EngineErrorText(-1), "");
    EXPECT_STREQ(EngineErrorText(0), "");
    EXPECT_STREQ(EngineErrorText(16), "");
}

TEST(RecordingFormat, RowBytesPadsToFourBytes)
{
    EXPECT_EQ(RowBytes(3, 24), 12u);
    EXPECT_EQ(RowBytes(4, 24), 12u);
    EXPECT_EQ(RowBytes(1, 1), 4u);
    EXPECT_EQ(RowBytes(33, 1), 8u);
    EXPECT_EQ(RowBytes(1920, 24), 5760u);
}

// ---------------------------------------------------------------------------
// Reading helpers

namespace {

RecordingHeader GoodHeader()
{
    return MakeRecordingHeader(kVersion0101, 800, 600, 1000, 64);
}

} // namespace

TEST(RecordingHeaderChecks, OrderIsMagicVersionIndexOffset)
{
    RecordingHeader h = GoodHeader();
    EXPECT_EQ(CheckRecordingHeader(h), ecNone);

    RecordingHeader all = h;
    all.Magic[1] = 0x57;
    all.Version = 0x0102;
    all.IndexOffset = 0;
    EXPECT_EQ(CheckRecordingHeader(all), ecFileDamaged);
    all.Magic[1] = 0x56;
    EXPECT_EQ(CheckRecordingHeader(all), ecNeedUpgrade);
    all.Version = kVersion0100;
    EXPECT_EQ(CheckRecordingHeader(all), ecNoIndex);

    h.Magic[0] = 0x56;  // swapped magic
    h.Magic[1] = 0x41;
    EXPECT_EQ(CheckRecordingHeader(h), ecFileDamaged);
}

TEST(RecordingHeaderChecks, VersionsAndIndexOffsets)
{
    RecordingHeader h = GoodHeader();
    for (uint16_t v : {kVersion0000, kVersion0100, kVersion0101}) {
        h.Version = v;
        EXPECT_EQ(CheckRecordingHeader(h), ecNone) << v;
    }
    for (uint16_t v : {0x0001, 0x0102, 0x0200, 0x0110, 0xFFFF}) {
        h.Version = uint16_t(v);
        EXPECT_EQ(CheckRecordingHeader(h), ecNeedUpgrade) << v;
    }
    h.Version = kVersion0101;
    for (int64_t offset : {int64_t(0), int64_t(-1), INT64_MIN}) {
        h.IndexOffset = offset;
        EXPECT_EQ(CheckRecordingHeader(h), ecNoIndex) << offset;
    }
    h.IndexOffset = 1;
    EXPECT_EQ(CheckRecordingHeader(h), ecNone);
}

TEST(RecordingHeaderChecks, HeaderAndIndexHeadNeedAllTheirBytes)
{
    const Bytes bytes = RecordingHeaderBytes(GoodHeader());
    RecordingHeader h{};
    EXPECT_EQ(ReadRecordingHeader(bytes.data(), 31, &h), ecReadFailed);
    EXPECT_EQ(ReadRecordingHeader(nullptr, 32, &h), ecReadFailed);
    ASSERT_EQ(ReadRecordingHeader(bytes.data(), 32, &h), ecNone);
    EXPECT_EQ(int(h.Width), 800);
    EXPECT_EQ(int(h.Height), 600);
    EXPECT_EQ(uint32_t(h.Duration), 1000u);
    EXPECT_EQ(int64_t(h.IndexOffset), 64);

    const uint8_t head[16] = {5};
    IndexHead ih{};
    EXPECT_EQ(ReadIndexHead(head, 15, &ih), ecReadFailed);
    ASSERT_EQ(ReadIndexHead(head, 16, &ih), ecNone);
    EXPECT_EQ(ih.Count, 5u);
}

TEST(IndexChecks, IndexHeadNeedsCountAndThreeZeroWords)
{
    EXPECT_EQ(CheckIndexHead(IndexHead{5, {0, 0, 0}}), ecNone);
    EXPECT_EQ(CheckIndexHead(IndexHead{0, {0, 0, 0}}), ecInvalidIndex);
    EXPECT_EQ(CheckIndexHead(IndexHead{5, {1, 0, 0}}), ecInvalidIndex);
    EXPECT_EQ(CheckIndexHead(IndexHead{5, {0, 1, 0}}), ecInvalidIndex);
    EXPECT_EQ(CheckIndexHead(IndexHead{5, {0, 0, 0x80000000u}}), ecInvalidIndex);
}

TEST(IndexChecks, TableSizeMustFitSigned32Bits)
{
    uint64_t bytes = 1;
    for (uint16_t v : {kVersion0000, kVersion0100}) {
        EXPECT_EQ(IndexTableBytes(v, 3, &bytes), ecNone);
        EXPECT_EQ(bytes, 24u);
        EXPECT_EQ(IndexTableBytes(v, 0x0FFFFFFF, &bytes), ecNone);
        EXPECT_EQ(bytes, 0x7FFFFFF8u);
        EXPECT_EQ(IndexTableBytes(v, 0x10000000, &bytes), ecUnknown);
        EXPECT_EQ(bytes, 0u);
        EXPECT_EQ(IndexTableBytes(v, 0xFFFFFFFF, &bytes), ecUnknown);
    }
    EXPECT_EQ(IndexTableBytes(kVersion0101, 3, &bytes), ecNone);
    EXPECT_EQ(bytes, 48u);
    EXPECT_EQ(IndexTableBytes(kVersion0101, 0x07FFFFFF, &bytes), ecNone);
    EXPECT_EQ(bytes, 0x7FFFFFF0u);
    EXPECT_EQ(IndexTableBytes(kVersion0101, 0x08000000, &bytes), ecUnknown);
    EXPECT_EQ(IndexTableBytes(0x0102, 1, &bytes), ecNeedUpgrade);
    EXPECT_EQ(bytes, 0u);
}

TEST(IndexChecks, SameEntriesReadAsSixteenOrEightBytes)
{
    // Two 16-byte entries; the unread word of each holds garbage.
    const IndexEntryV2 raw[2] = {{1000, 0xDEADBEEF, 0x100000010ull}, {31000, 7, 0x2000}};
    std::vector<IndexEntry> e;
    ASSERT_EQ(DecodeIndexEntries(kVersion0101, raw, sizeof raw, 2, &e), ecNone);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].Time, 1000u);
    EXPECT_EQ(e[0].Offset, 0x100000010ull);
    EXPECT_EQ(e[1].Time, 31000u);
    EXPECT_EQ(e[1].Offset, 0x2000u);

    // Under version 0x0100 the same bytes are four 8-byte entries.
    ASSERT_EQ(DecodeIndexEntries(kVersion0100, raw, sizeof raw, 4, &e), ecNone);
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0].Time, 1000u);
    EXPECT_EQ(e[0].Offset, 0xDEADBEEFu);
    EXPECT_EQ(e[1].Time, 0x10u);
    EXPECT_EQ(e[1].Offset, 1u);
    EXPECT_EQ(e[2].Time, 31000u);
    EXPECT_EQ(e[2].Offset, 7u);
}

TEST(IndexChecks, ShortTableGivesNothing)
{
    const IndexEntryV1 raw[3] = {{0, 0}, {30000, 500}, {60000, 900}};
    int calls = 0;
    EXPECT_EQ(DecodeIndexEntries(kVersion0000, raw, sizeof raw - 1, 3, [&](const IndexEntry&) { ++calls; }),
              ecReadFailed);
    EXPECT_EQ(calls, 0);
    std::vector<IndexEntry> e{{1, 1}};
    EXPECT_EQ(DecodeIndexEntries(kVersion0101, raw, sizeof raw, 2, &e), ecReadFailed);  // needs 32
    EXPECT_TRUE(e.empty());
    EXPECT_EQ(DecodeIndexEntries(kVersion0100, raw, sizeof raw, 0x10000000, &e), ecUnknown);
    std::vector<uint64_t> offsets;
    EXPECT_EQ(DecodeIndexEntries(kVersion0000, raw, sizeof raw, 3,
                                 [&](const IndexEntry& x) { offsets.push_back(x.Offset); }),
              ecNone);
    EXPECT_EQ(offsets, (std::vector<uint64_t>{0, 500, 900}));
}

TEST(FrameRecords, CompleteOnlyWithWholePayload)
{
    const Bytes empty = MakeFrameRecord(MakeFrameHeader(5, fkCursor, ctStored, 0, 0, 99), nullptr, 0);
    ASSERT_EQ(empty.size(), 28u);  // length 0: the header alone
    FrameHeader h{};
    EXPECT_EQ(CompleteFrameRecord(empty.data(), 27, &h), 0u);
    EXPECT_EQ(CompleteFrameRecord(empty.data(), 28, &h), 28u);
    EXPECT_EQ(h.Length, 0u);
    EXPECT_EQ(h.Kind, fkCursor);

    const Bytes ten = MakeFrameRecord(MakeFrameHeader(5, fkCopyRect, ctStored, 1, 2, 0), Bytes(10, 0xAB));
    EXPECT_EQ(CompleteFrameRecord(ten.data(), 37, nullptr), 0u);
    EXPECT_EQ(CompleteFrameRecord(ten.data(), 38, nullptr), 38u);

    // A length near 4 GiB does not wrap.
    Bytes huge = ten;
    huge[12] = huge[13] = huge[14] = huge[15] = 0xFF;
    EXPECT_EQ(CompleteFrameRecord(huge.data(), huge.size(), nullptr), 0u);
    FrameHeader hh{};
    hh.Length = 0xFFFFFFFF;
    EXPECT_EQ(FrameRecordSize(hh), 0x10000001Bull);
}

// ---------------------------------------------------------------------------
// Writer output read back

namespace {

TPicture RowsPicture(int w, int h)
{
    // Smooth ramps: red grows downwards, green to the right.
    return TPicture(w, h, [=](int x, int y) {
        return uint32_t(y * 255 / (h - 1)) << 16 | uint32_t(x * 255 / (w - 1)) << 8 | 0x55;
    });
}

// Every kind and every compression, with the screen's cursor.
TRecordingWriter EveryFrameKind(uint16_t version)
{
    TRecordingWriter w(320, 200, version);
    const TPicture screen = MakeScreenPicture(320, 200, 7);
    w.AddKeyFrame(0, screen, ctZlib, 10, 20);
    w.AddCopyRect(40, 8, 16, screen.Crop(100, 50, 33, 17), ctStored);
    w.AddCopyRect(80, 9, 17, screen.Crop(10, 10, 40, 24), ctLZO1X);
    w.AddCopyRect(120, 60, 70, RowsPicture(24, 16), ctJPEG);
    w.AddXorRect(160, 3, 4, XorPictures(screen.Crop(3, 4, 20, 9), RowsPicture(20, 9)), ctZlib, 30, 40);
    w.AddCursorShape(200, 50, 60, MakeArrowCursor(32), ctStored);
    w.AddCursorShape(210, 51, 61, MakeBeamCursor(32), ctZlib);
    w.AddCursorMove(220, 55, 66);
    w.AddCursorHide(230);
    w.AddMarker(240);
    w.AddFrame(250, 9, ctStored, 0, 0, Bytes{1, 2, 3});  // a kind readers do not know
    w.AddKeyFrame(1000, screen, ctLZO1X);
    w.AddKeyFrame(2000, screen, ctStored);
    w.AddKeyFrame(3000, screen, ctJPEG);
    w.AddXorRect(3500, 0, 0, RowsPicture(8, 8), ctLZO1X);
    return w;
}

} // namespace

class WriterRoundTrip : public testing::TestWithParam<uint16_t> {};

TEST_P(WriterRoundTrip, EveryKindAndCompressionReadsBack)
{
    const uint16_t version = GetParam();
    const TRecordingWriter w = EveryFrameKind(version);
    const Bytes file = w.Build();
    const auto r = ReadRecording(file);
    ASSERT_EQ(r.Code, ecNone);
    EXPECT_EQ(r.Header.Version, version);
    EXPECT_EQ(r.Header.Width, 320);
    EXPECT_EQ(r.Header.Height, 200);
    EXPECT_EQ(r.Header.Duration, 3500u);  // the last frame's time
    EXPECT_EQ(uint64_t(r.Header.IndexOffset), w.FrameBytes());
    EXPECT_EQ(r.LeftOver, 0u);
    // Index: 16-byte entries only for 0x0101.
    const size_t entry = version == kVersion0101 ? 16 : 8;
    EXPECT_EQ(file.size(), 32 + w.FrameBytes() + 16 + 4 * entry);

    ASSERT_EQ(r.Frames.size(), w.Frames().size());
    for (size_t i = 0; i < r.Frames.size(); ++i) {
        const auto& got = r.Frames[i];
        const auto& put = w.Frames()[i];
        EXPECT_EQ(std::memcmp(&got.Header, &put.Header, sizeof got.Header), 0) << i;
        EXPECT_EQ(got.Offset, put.Offset) << i;
        EXPECT_EQ(got.Payload, put.Payload) << i;
        EXPECT_EQ(got.Header.Length, got.Payload.size()) << i;
    }
    // One index entry per key frame, pointing at its record.
    ASSERT_EQ(r.Index.size(), 4u);
    const uint32_t times[] = {0, 1000, 2000, 3000};
    for (size_t i = 0; i < r.Index.size(); ++i) {
        EXPECT_EQ(r.Index[i].Time, times[i]);
        FrameHeader h;
        std::memcpy(&h, file.data() + 32 + r.Index[i].Offset, sizeof h);
        EXPECT_EQ(h.Kind, fkKeyFrame);
        EXPECT_EQ(h.Time, times[i]);
    }
    EXPECT_EQ(r.Index[0].Offset, 0u);
}

TEST_P(WriterRoundTrip, PayloadsDecodeToTheirPictures)
{
    const TRecordingWriter w = EveryFrameKind(GetParam());
    const auto r = ReadRecording(w.Build());
    ASSERT_EQ(r.Code, ecNone);
    int seen[4] = {};
    for (size_t i = 0; i < r.Frames.size(); ++i) {
        const auto& f = r.Frames[i];
        const TFrameInfo& put = w.Frames()[i];
        if (f.Header.Length == 0 || put.Picture.Empty())
            continue;
        const Bytes bmp = PictureBmp(put.Picture, put.Style);
        switch (f.Header.Compression) {
        case ctStored:
            EXPECT_EQ(f.Payload, bmp) << i;
            break;
        case ctLZO1X:
            EXPECT_EQ(qov::test::DecompressLzo(f.Payload, bmp.size() + 64), bmp) << i;
            break;
        case ctZlib:
            EXPECT_EQ(qov::test::InflateZlib(f.Payload), bmp) << i;
            break;
        case ctJPEG: {
            // Recorded upside down: decoded scanline 0 is the bottom row.
            const TPicture decoded = qov::test::DecodeJpeg(f.Payload);
            const int h = put.Picture.Height();
            const TPicture flipped(put.Picture.Width(), h,
                                   [&](int x, int y) { return decoded.At(x, h - 1 - y); });
            const double near = qov::test::MeanChannelDifference(flipped, put.Picture);
            EXPECT_LE(near, 12) << i;
            EXPECT_GT(qov::test::MeanChannelDifference(decoded, put.Picture), near + 10) << i;
            break;
        }
        }
        ++seen[f.Header.Compression];
        // Stored images are BMP file images whose size field is their length.
        if (f.Header.Compression == ctStored) {
            uint32_t fileSize;
            std::memcpy(&fileSize, f.Payload.data() + 2, 4);
            EXPECT_EQ(fileSize, f.Payload.size());
        }
    }
    for (int c = 0; c < 4; ++c)
        EXPECT_GE(seen[c], 1) << "compression " << c;
}

INSTANTIATE_TEST_SUITE_P(AllVersions, WriterRoundTrip, testing::Values(kVersion0000, kVersion0100, kVersion0101));

TEST(WriterOutput, JpegFirstScanlineIsTheBottomRow)
{
    // Black bottom row, white elsewhere: the JPEG starts with the black row.
    const TPicture p(16, 16, [](int, int y) { return y == 15 ? 0x000000u : 0xFFFFFFu; });
    const TPicture decoded = qov::test::DecodeJpeg(EncodePicture(p, ctJPEG));
    EXPECT_LT(decoded.At(8, 0) & 0xFF, 40u);
    EXPECT_GT(decoded.At(8, 8) & 0xFF, 215u);
    EXPECT_GT(decoded.At(8, 15) & 0xFF, 215u);
}

TEST(WriterOutput, CursorRecordsWithoutPayload)
{
    TRecordingWriter w(100, 100);
    w.AddCursorMove(10, 40, 50);
    w.AddCursorHide(20);
    w.AddMarker(30);
    const Bytes file = w.Build();
    EXPECT_EQ(w.FrameBytes(), 3u * 28);
    // Without a key frame the index has count 0, which readers refuse.
    EXPECT_EQ(ReadRecording(file).Code, ecInvalidIndex);
    FrameHeader h;
    std::memcpy(&h, file.data() + 32, sizeof h);
    EXPECT_EQ(h.Kind, fkCursor);
    EXPECT_EQ(h.Left, 40);
    EXPECT_EQ(h.Top, 50);
    EXPECT_EQ(h.Length, 0u);
    std::memcpy(&h, file.data() + 60, sizeof h);
    EXPECT_EQ(h.Left, 0);
    EXPECT_EQ(h.Top, 0);
    EXPECT_EQ(h.Time, 20u);
    std::memcpy(&h, file.data() + 88, sizeof h);
    EXPECT_EQ(h.Kind, fkMarker);
}

TEST(WriterOutput, DurationIsLastFrameTimeUnlessSet)
{
    TRecordingWriter w(64, 64);
    EXPECT_EQ(w.Duration(), 0u);
    w.AddKeyFrame(0, TPicture(64, 64, 0x123456), ctStored);
    w.AddMarker(4321);
    EXPECT_EQ(ReadRecording(w.Build()).Header.Duration, 4321u);
    w.SetDuration(9000);
    EXPECT_EQ(ReadRecording(w.Build()).Header.Duration, 9000u);
    w.SetDuration(0);
    EXPECT_EQ(ReadRecording(w.Build()).Header.Duration, 0u);
}

TEST(WriterOutput, BytesBeforeTheIndexAreNeverAFrame)
{
    TRecordingWriter w(64, 64);
    w.AddKeyFrame(0, TPicture(64, 64, 0x00FF00), ctZlib);
    w.AddMarker(100);
    const uint64_t records = w.FrameBytes();

    w.SetGap(Bytes(27, 0xEE));  // shorter than a frame header
    auto r = ReadRecording(w.Build());
    ASSERT_EQ(r.Code, ecNone);
    EXPECT_EQ(r.Frames.size(), 2u);
    EXPECT_EQ(r.LeftOver, 27u);
    EXPECT_EQ(uint64_t(r.Header.IndexOffset), records + 27);

    // A record whose payload would run past the index is never completed.
    const Bytes whole = MakeFrameRecord(MakeFrameHeader(200, fkCopyRect, ctStored, 0, 0, 0), Bytes(500, 0x11));
    w.SetGap(Bytes(whole.begin(), whole.begin() + 300));
    r = ReadRecording(w.Build());
    ASSERT_EQ(r.Code, ecNone);
    EXPECT_EQ(r.Frames.size(), 2u);
    EXPECT_EQ(r.LeftOver, 300u);
    EXPECT_EQ(r.Index.size(), 1u);
}

// ---------------------------------------------------------------------------
// Damaged recordings: the first failing check decides the code

namespace {

Bytes SmallRecording(uint16_t version)
{
    TRecordingWriter w(64, 48, version);
    const TPicture p = MakeScreenPicture(64, 48, 3);
    w.AddKeyFrame(0, p, ctStored);
    w.AddCopyRect(40, 1, 1, p.Crop(0, 0, 8, 8), ctZlib);
    w.AddKeyFrame(30000, p, ctLZO1X);
    w.AddKeyFrame(60000, p, ctZlib);
    return w.Build();
}

EngineErrorCode CodeOf(const Bytes& file)
{
    return ReadRecording(file).Code;
}

} // namespace

TEST(DamagedRecordings, HeaderFailures)
{
    const Bytes good = SmallRecording(kVersion0101);
    ASSERT_EQ(CodeOf(good), ecNone);
    EXPECT_EQ(CodeOf(CutHeader(good, 31)), ecReadFailed);
    EXPECT_EQ(CodeOf(CutHeader(good, 0)), ecReadFailed);
    EXPECT_EQ(CodeOf(WithMagic(good, 0x41, 0x57)), ecFileDamaged);
    EXPECT_EQ(CodeOf(WithVersion(good, 0x0102)), ecNeedUpgrade);
    EXPECT_EQ(CodeOf(WithIndexOffset(good, 0)), ecNoIndex);
    EXPECT_EQ(CodeOf(WithIndexOffset(good, -28)), ecNoIndex);
    // Several faults at once: the earliest check wins.
    EXPECT_EQ(CodeOf(WithMagic(WithVersion(WithIndexOffset(good, 0), 7), 0, 0)), ecFileDamaged);
    EXPECT_EQ(CodeOf(WithVersion(WithIndexOffset(good, 0), 7)), ecNeedUpgrade);
    // Offset 0 fails before the (broken) index is looked at.
    EXPECT_EQ(CodeOf(WithIndexOffset(WithIndexHead(good, 0), 0)), ecNoIndex);
}

TEST(DamagedRecordings, IndexFailures)
{
    const Bytes good = SmallRecording(kVersion0101);
    EXPECT_EQ(CodeOf(WithIndexHead(good, 0)), ecInvalidIndex);
    EXPECT_EQ(CodeOf(WithIndexHead(good, 5, 1)), ecInvalidIndex);
    EXPECT_EQ(CodeOf(WithIndexHead(good, 3, 0, 0, 1)), ecInvalidIndex);
    EXPECT_EQ(CodeOf(WithIndexHead(good, 4)), ecReadFailed);  // one entry more than written
    EXPECT_EQ(CodeOf(CutIndex(good, 1)), ecReadFailed);
    EXPECT_EQ(CodeOf(CutIndex(good, 48)), ecReadFailed);       // head only
    EXPECT_EQ(CodeOf(CutIndex(good, 48 + 1)), ecReadFailed);   // short head
    EXPECT_EQ(CodeOf(WithIndexHead(good, 0x08000000)), ecUnknown);
    EXPECT_EQ(CodeOf(WithIndexHead(good, 0x07FFFFFF)), ecReadFailed);
    // The index offset past the end of the file: the head cannot be read.
    EXPECT_EQ(CodeOf(WithIndexOffset(good, int64_t(good.size()))), ecReadFailed);
    // A head fault is found before the count is sized.
    EXPECT_EQ(CodeOf(WithIndexHead(good, 0x10000000, 1)), ecInvalidIndex);

    const Bytes old = SmallRecording(kVersion0100);
    EXPECT_EQ(CodeOf(WithIndexHead(old, 0x10000000)), ecUnknown);
    EXPECT_EQ(CodeOf(WithIndexHead(old, 0x0FFFFFFF)), ecReadFailed);
    EXPECT_EQ(CodeOf(CutIndex(old, 8)), ecReadFailed);
    EXPECT_EQ(CodeOf(CutIndex(old, 7)), ecReadFailed);
}

TEST(DamagedRecordings, VersionChangeReinterpretsTheIndex)
{
    // Three 16-byte entries read as 8-byte ones: other offsets, same count.
    const Bytes good = SmallRecording(kVersion0101);
    const auto r16 = ReadRecording(good);
    const auto r8 = ReadRecording(WithVersion(good, kVersion0100));
    ASSERT_EQ(r16.Code, ecNone);
    ASSERT_EQ(r8.Code, ecNone);
    ASSERT_EQ(r8.Index.size(), 3u);
    ASSERT_EQ(r16.Index.size(), 3u);
    EXPECT_EQ(r8.Index[1].Time, uint32_t(r16.Index[0].Offset));  // low word of the 64-bit offset
    EXPECT_EQ(r8.Index[2].Time, r16.Index[1].Time);
    EXPECT_EQ(r8.Index[2].Offset, 0u);  // the second entry's unread word
    EXPECT_NE(r16.Index[1].Offset, 0u);
}

TEST(DamagedRecordings, EntriesOutsideTheFramesStillOpen)
{
    // Opening takes entries as they are; only seeking reads where they point.
    const Bytes good = SmallRecording(kVersion0101);
    const auto r = ReadRecording(WithIndexEntry(good, 1, 30000, 0x7FFFFFFFFFull));
    ASSERT_EQ(r.Code, ecNone);
    EXPECT_EQ(r.Index[1].Offset, 0x7FFFFFFFFFull);
    EXPECT_EQ(ReadRecording(WithIndexEntry(SmallRecording(kVersion0000), 2, 1, 0xFFFFFFFF)).Index[2].Offset,
              0xFFFFFFFFu);
}

TEST(DamagedRecordings, FrameRegionCutShort)
{
    const Bytes good = SmallRecording(kVersion0000);
    const auto whole = ReadRecording(good);
    ASSERT_EQ(whole.Code, ecNone);
    // The file ends inside the frame records: the index is gone as well.
    const uint64_t firstRecord = 28 + whole.Frames[0].Header.Length;
    const Bytes cut = CutFrames(good, firstRecord + 10);
    EXPECT_EQ(cut.size(), 32 + firstRecord + 10);
    EXPECT_EQ(CodeOf(cut), ecReadFailed);
}

TEST(DamagedRecordings, TheSourcesScanAgreesAndDropsOnlyEntriesOutsideTheFrames)
{
    const Bytes good = SmallRecording(kVersion0101);
    const Bytes old = SmallRecording(kVersion0100);
    const std::vector<Bytes> files = {
        good, old, CutHeader(good, 31), WithMagic(good, 1, 2), WithVersion(good, 0x0102),
        WithVersion(good, kVersion0100), WithIndexOffset(good, -1), WithIndexOffset(good, INT64_MAX - 8),
        WithIndexHead(good, 0), WithIndexHead(good, 5, 1), WithIndexHead(good, 0x08000000), CutIndex(old, 7),
        CutIndex(good, 48 + 1), CutFrames(good, 100),
    };
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(i);
        const auto reference = ReadRecording(files[i]);
        const TRecordingScan scan = ScanRecording(files[i].data(), files[i].size());
        // An index offset that overflows with the header is the source's range error.
        EXPECT_EQ(scan.Code, i == 7 ? ecUnknown : reference.Code);
        if (scan.Code != ecNone)
            continue;
        EXPECT_EQ(scan.Frames, reference.Frames.size());
        EXPECT_EQ(scan.CutShort, reference.LeftOver != 0);
        EXPECT_EQ(scan.DroppedEntries, 0u);
    }

    // One entry past the frames (28 header bytes no longer fit) is dropped, the rest stay.
    const auto whole = ScanRecording(good.data(), good.size());
    const uint64_t frameBytes = uint64_t(whole.Header.IndexOffset);
    const Bytes outside = WithIndexEntry(good, 1, 30000, frameBytes - 27);
    const auto some = ScanRecording(outside.data(), outside.size());
    ASSERT_EQ(some.Code, ecNone);
    EXPECT_EQ(some.DroppedEntries, 1u);
    ASSERT_EQ(some.Index.size(), whole.Index.size() - 1);
    EXPECT_EQ(some.Index[1].Time, whole.Index[2].Time);
    const Bytes last = WithIndexEntry(good, 2, 40000, frameBytes - 28);  // its header just fits
    EXPECT_EQ(ScanRecording(last.data(), last.size()).DroppedEntries, 0u);
    // None left: the index is no index.
    const Bytes none = WithIndexEntry(WithIndexEntry(outside, 0, 0, frameBytes), 2, 1, UINT64_MAX);
    EXPECT_EQ(ScanRecording(none.data(), none.size()).Code, ecInvalidIndex);
}
