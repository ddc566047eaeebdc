// The file source on local files: opening recordings (every status code in
// its order), reading records into the frame buffer byte for byte, targets,
// seeking, stopping, and still pictures.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>

#include "LocatorHelpers.h"
#include "QovWriter.h"
#include "RecordingFixtures.h"
#include "SourceTestSupport.h"
#include "UnitQovCore.h"

using namespace qov;
using namespace qov::test;
using writer::Bytes;

namespace {

// Scratch files of the running test, deleted after it (and after its source
// has closed them).
std::vector<std::string>& ScratchFiles()
{
    static std::vector<std::string> files;
    return files;
}

std::string Save(const std::string& name, const Bytes& bytes)
{
    const std::string path = ScratchPath(name);
    writer::SaveBytes(path, bytes);
    ScratchFiles().push_back(path);
    return path;
}

struct TScratchCleaner {
    ~TScratchCleaner()
    {
        for (const auto& path : ScratchFiles())
            DeleteFileA(path.c_str());
        ScratchFiles().clear();
    }
};

struct FileSourceTest : ::testing::Test {
    TScratchCleaner Cleaner;  // destroyed last
    TSourceRig Rig;
    TFileThread Source{&Rig.Context};
};

Bytes TextBytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

IndexHead HeadAt(const Bytes& file, int64_t indexOffset)
{
    IndexHead head;
    std::memcpy(&head, file.data() + kDataStart + indexOffset, sizeof head);
    return head;
}

} // namespace

// ---------------------------------------------------------------------------
// Opening a recording

class FileSourceVersions : public FileSourceTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(FileSourceVersions, OpensAndBuffersEveryRecordByteForByte)
{
    auto w = RawRecording(GetParam(), 30, 10, 40, 3000, 500);
    const Bytes file = w.Build();
    const std::string path = Save("versions.qov", file);

    ASSERT_EQ(Rig.OpenAndWait(Source, path), 0);
    EXPECT_EQ(std::memcmp(&Rig.Context.Header, file.data(), 32), 0) << "the header is read straight in";
    EXPECT_EQ(Source.Kind(), skLocalFile);
    EXPECT_EQ(Source.FileKind(), fkRecording);
    EXPECT_EQ(Source.DataStart(), 32u);
    const auto index = Rig.IndexEntries();
    const auto expected = w.IndexEntries();
    ASSERT_EQ(index.size(), expected.size());
    for (size_t i = 0; i < index.size(); ++i) {
        EXPECT_EQ(index[i].Time, expected[i].Time);
        EXPECT_EQ(index[i].Offset, expected[i].Offset);
    }

    Source.Read(-1);
    ASSERT_TRUE(Rig.WaitRecords(30, 5000));
    EXPECT_EQ(Rig.Records(), WrittenRecords(w));
    EXPECT_EQ(Rig.Player.Messages().Count(WM_ENGINE_SHOW), 0u) << "reading on posts no SHOW";
}

INSTANTIATE_TEST_SUITE_P(AllVersions, FileSourceVersions,
                         ::testing::Values(kVersion0000, kVersion0100, kVersion0101));

TEST_F(FileSourceTest, SixteenByteEntriesReadUnderVersion0100GiveOtherOffsets)
{
    auto w = RawRecording(kVersion0101, 30, 10, 40, 3000, 500);
    const Bytes file = writer::WithVersion(w.Build(), kVersion0100);
    ASSERT_EQ(Rig.OpenAndWait(Source, Save("v0100.qov", file)), 0);

    // The same count of entries, read as 8-byte pairs of the 16-byte table.
    const IndexHead head = HeadAt(file, w.IndexOffset());
    const uint8_t* table = file.data() + kDataStart + w.IndexOffset() + 16;
    std::vector<IndexEntry> expected;
    for (uint32_t i = 0; i < head.Count; ++i) {
        IndexEntryV1 raw;
        std::memcpy(&raw, table + 8 * i, 8);
        if (expected.empty() || expected.back().Time != raw.Time)  // a repeated time is one entry
            expected.push_back(IndexEntry{raw.Time, raw.Offset});
    }
    const auto index = Rig.IndexEntries();
    ASSERT_EQ(index.size(), expected.size());
    for (size_t i = 0; i < index.size(); ++i) {
        EXPECT_EQ(index[i].Time, expected[i].Time);
        EXPECT_EQ(index[i].Offset, expected[i].Offset);
    }
    EXPECT_NE(index[1].Offset, w.IndexEntries()[1].Offset) << "same time, other offset";
}

TEST_F(FileSourceTest, EachOpenFailureReportsItsCodeAndLogsItsText)
{
    auto w = RawRecording(kVersion0100, 12, 4, 40, 200, 50);
    const Bytes good = w.Build();
    const uint64_t frameBytes = w.FrameBytes();
    struct Case {
        const char* Name;
        Bytes File;
        int Code;
        const char* LogText;  // nullptr: the code's own text
    };
    const std::vector<Case> cases = {
        {"a.png", good, ecInvalidFileFormat, nullptr},
        {"short-header.qov", writer::CutHeader(good, 31), ecReadFailed, nullptr},
        {"magic.qov", writer::WithMagic(good, 0x41, 0x57), ecFileDamaged, nullptr},
        // A text file renamed: its bytes must not become a duration.
        {"text.qov", TextBytes("This is a text file and not a recording at all.\r\n"), ecFileDamaged, nullptr},
        // Magic comes before the version.
        {"magic-version.qov", writer::WithVersion(writer::WithMagic(good, 0, 0), 0x0200), ecFileDamaged, nullptr},
        {"version.qov", writer::WithVersion(good, 0x0200), ecNeedUpgrade, nullptr},
        // The version comes before the index offset.
        {"version-offset.qov", writer::WithIndexOffset(writer::WithVersion(good, 0x0102), 0), ecNeedUpgrade, nullptr},
        {"offset0.qov", writer::WithIndexOffset(good, 0), ecNoIndex, nullptr},
        {"offset-negative.qov", writer::WithIndexOffset(good, -5), ecNoIndex, nullptr},
        {"offset-far.qov", writer::WithIndexOffset(good, int64_t(1) << 40), ecReadFailed, nullptr},
        {"offset-overflow.qov", writer::WithIndexOffset(good, INT64_MAX - 8), ecUnknown, "Range check error"},
        {"short-head.qov", writer::CutIndex(good, 3 * 8 + 10), ecReadFailed, nullptr},
        {"head-word.qov", writer::WithIndexHead(good, 5, 1), ecInvalidIndex, nullptr},
        {"head-count0.qov", writer::WithIndexHead(good, 0), ecInvalidIndex, nullptr},
        {"short-table.qov", writer::CutIndex(good, 4), ecReadFailed, nullptr},
        {"huge-count.qov", writer::WithIndexHead(good, 0x10000000), ecUnknown, "Range check error"},
        // Fits a signed size but not the file: refused without a 2 GB table.
        {"big-count.qov", writer::WithIndexHead(good, 0x0FFFFFFF), ecReadFailed, nullptr},
        // No entry left whose record lies inside the frame records.
        {"entries-outside.qov",
         writer::WithIndexEntry(writer::WithIndexEntry(writer::WithIndexEntry(good, 0, 0, frameBytes), 1, 160,
                                                       frameBytes - 27),
                                2, 320, 0xFFFFFFFFu),
         ecInvalidIndex, nullptr},
    };
    // What an earlier recording left in the context stays until one opens.
    RecordingHeader earlier{};
    earlier.Width = 11;
    earlier.Height = 7;
    earlier.Duration = 4321;
    Rig.Context.Header = earlier;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string path = Save(c.Name, c.File);
        const uint64_t mark = LogMark();
        const DWORD start = GetTickCount();
        EXPECT_EQ(Rig.OpenAndWait(Source, path), c.Code);
        EXPECT_EQ(std::memcmp(&Rig.Context.Header, &earlier, sizeof earlier), 0) << "the header was taken in";
        EXPECT_LT(GetTickCount() - start, kAfterLogMs) << "no table of the claimed size is read";
        const std::string text = c.LogText ? c.LogText : EngineErrorText(c.Code);
        EXPECT_TRUE(WaitLogLines(mark, text, 1, kAfterLogMs)) << "log lacks " << text;
        EXPECT_EQ(Rig.Window.Messages().Count(WM_ENGINE_OPENED), 0u);
    }

    // A file that cannot be opened: code 6, the cause in the log.
    const uint64_t mark = LogMark();
    EXPECT_EQ(Rig.OpenAndWait(Source, ScratchPath("missing.qov")), ecUnknown);
    EXPECT_TRUE(WaitLogLines(mark, "missing.qov", 1, kAfterLogMs));

    // The source opens again after failures.
    EXPECT_EQ(Rig.OpenAndWait(Source, Save("good.qov", good)), 0);
    EXPECT_EQ(std::memcmp(&Rig.Context.Header, good.data(), sizeof earlier), 0);
}

TEST_F(FileSourceTest, IndexEntriesOutsideTheFramesAreDroppedAndTheRestServeSeeks)
{
    // Keys at 0, 160 and 320; the entries of 160 and 320 point past the frames.
    auto w = RawRecording(kVersion0101, 12, 4, 40, 200, 50);
    const auto written = WrittenRecords(w);
    const Bytes file = writer::WithIndexEntry(writer::WithIndexEntry(w.Build(), 1, 160, w.FrameBytes()), 2, 320,
                                              w.FrameBytes() - 27);
    const uint64_t mark = LogMark();
    ASSERT_EQ(Rig.OpenAndWait(Source, Save("some-outside.qov", file)), 0);
    EXPECT_TRUE(WaitLogLines(mark, "2 index entries outside the frame records dropped", 1, kAfterLogMs));
    EXPECT_EQ(Rig.Index.Count(), 1);

    Source.Seek(330);  // by the entry left: from the start
    EXPECT_EQ(Rig.WaitShow(3000), std::optional<int32_t>(8));
    EXPECT_EQ(Rig.Records().front(), written[0]);
}

TEST_F(FileSourceTest, TheCodeTextsAreTheSystemsOwn)
{
    EXPECT_STREQ(EngineErrorText(14), "QovPlayer 需要升级");
    EXPECT_STREQ(EngineErrorText(1), EngineErrorText(5));
    EXPECT_STREQ(EngineErrorText(15), "读文件失败");
}

// ---------------------------------------------------------------------------
// Reading

TEST_F(FileSourceTest, TargetsPostTheFrameAtOrBeforeThem)
{
    // Times 0 (key), 40, 80, 120 (key), 160, 200.
    auto w = RawRecording(kVersion0101, 6, 3, 40, 300, 60);
    const std::string path = Save("targets.qov", w.Build());
    ASSERT_EQ(Rig.OpenAndWait(Source, path), 0);

    Source.Read(80);  // equal to a frame's time
    EXPECT_EQ(Rig.WaitShow(3000), std::optional<int32_t>(2));

    Source.Stop();  // rewinds with an empty buffer
    EXPECT_EQ(Rig.Frames.Count(), 0);
    Rig.ClearShows();
    Source.Read(100);  // between 80 and 120
    EXPECT_EQ(Rig.WaitShow(3000), std::optional<int32_t>(2));

    Source.Stop();
    Rig.ClearShows();
    Source.Read(5000);  // after the last frame: the last index at the end
    EXPECT_EQ(Rig.WaitShow(3000), std::optional<int32_t>(5));
    EXPECT_EQ(Rig.Frames.Count(), 6);
    EXPECT_EQ(Rig.Records(), WrittenRecords(w));
    Sleep(100);
    EXPECT_EQ(Rig.Player.Messages().Count(WM_ENGINE_SHOW), 1u) << "one SHOW per target";

    // Records sharing the target's time: the last of them is shown, also
    // when the key frame is not the first.
    writer::TRecordingWriter shared(640, 480, kVersion0101);
    shared.AddFrame(0, fkKeyFrame, ctZlib, 0, 0, Bytes(50, 1));
    shared.AddCursorMove(80, 5, 5);
    shared.AddFrame(80, fkKeyFrame, ctZlib, 0, 0, Bytes(50, 2));
    shared.AddMarker(80);
    shared.AddFrame(120, fkCopyRect, ctZlib, 0, 0, Bytes(50, 3));
    Source.Stop();
    ASSERT_EQ(Rig.OpenAndWait(Source, Save("shared.qov", shared.Build())), 0);
    Rig.ClearShows();
    Source.Read(80);
    EXPECT_EQ(Rig.WaitShow(3000), std::optional<int32_t>(3));
}

TEST_F(FileSourceTest, SeekRestartsAtTheKeyFrameBeforeTheTarget)
{
    auto w = RawRecording(kVersion0100, 9, 3, 40, 300, 60);  // keys at 0, 120, 240
    const auto written = WrittenRecords(w);
    ASSERT_EQ(Rig.OpenAndWait(Source, Save("seek.qov", w.Build())), 0);
    Source.Read(-1);
    ASSERT_TRUE(Rig.WaitRecords(9, 3000));

    Source.Seek(170);  // key 120; 200 is the first frame after 170
    EXPECT_EQ(Rig.WaitShow(3000), std::optional<int32_t>(1));
    auto records = Rig.Records();
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[0], written[3]) << "the buffer restarts with the key frame";
    EXPECT_EQ(records[1], written[4]);

    Rig.ClearShows();
    Source.Seek(240);  // exactly a key frame
    EXPECT_EQ(Rig.WaitShow(3000), std::optional<int32_t>(0));
    EXPECT_EQ(Rig.Records().front(), written[6]);
}

TEST_F(FileSourceTest, ReadingStopsWhenTheBufferIsFullAndGoesOnWhenAsked)
{
    // 1.2 MB key frames every 4th frame: full after 3 key frames and 5 MiB.
    auto w = RawRecording(kVersion0101, 40, 4, 40, 1200000, 20000);
    const auto written = WrittenRecords(w);
    ASSERT_EQ(Rig.OpenAndWait(Source, Save("full.qov", w.Build())), 0);
    Source.Read(-1);
    ASSERT_TRUE(WaitUntil([&] { return Rig.Frames.IsFull(); }, 5000));
    Sleep(200);
    const int32_t count = Rig.Frames.Count();
    EXPECT_LT(count, 40);
    EXPECT_GE(Rig.Frames.KeyCount(), 3);
    EXPECT_GE(Rig.Frames.Bytes(), 0x500000);
    Source.Read(-1);  // full: nothing more
    Sleep(200);
    EXPECT_EQ(Rig.Frames.Count(), count);

    // A record larger than 512 KB grew the receive buffer to exactly its size.
    EXPECT_EQ(Source.Capacity(), 28u + 1200000u);

    // The play thread drops what it played and asks again: reading goes on
    // right after the last buffered record.
    Rig.Frames.Clear();
    Source.Read(-1);
    ASSERT_TRUE(Rig.WaitRecords(1, 3000));
    EXPECT_EQ(Rig.Records().front(), written[size_t(count)]);
}

TEST_F(FileSourceTest, BytesBeforeTheIndexAreNeverAFrame)
{
    for (size_t gap : {size_t(20), size_t(60)}) {
        SCOPED_TRACE(gap);
        auto w = RawRecording(kVersion0101, 8, 4, 40, 300, 60);
        w.SetGap(Bytes(gap, 0xFF));  // a length field that runs past the index
        ASSERT_EQ(Rig.OpenAndWait(Source, Save("gap" + std::to_string(gap) + ".qov", w.Build())), 0);
        Rig.ClearShows();
        Source.Read(100000);
        EXPECT_EQ(Rig.WaitShow(3000), std::optional<int32_t>(7));
        EXPECT_EQ(Rig.Records(), WrittenRecords(w));
        Source.Stop();
    }
}

TEST_F(FileSourceTest, StopRewindsAndAnOpenedSourceReadsAgain)
{
    auto w = RawRecording(kVersion0101, 10, 5, 40, 300, 60);
    ASSERT_EQ(Rig.OpenAndWait(Source, Save("rewind.qov", w.Build())), 0);
    Source.Read(-1);
    ASSERT_TRUE(Rig.WaitRecords(10, 3000));
    const DWORD start = GetTickCount();
    Source.Stop();
    EXPECT_LT(GetTickCount() - start, 1000u);
    EXPECT_EQ(Rig.Frames.Count(), 0);
    EXPECT_TRUE(Source.Stopping());
    Source.Read(-1);
    ASSERT_TRUE(Rig.WaitRecords(10, 3000));
    EXPECT_EQ(Rig.Records(), WrittenRecords(w));
}

// ---------------------------------------------------------------------------
// Still pictures

TEST_F(FileSourceTest, BitmapOpensAsOneStoredKeyFrame)
{
    const Bytes bmp = writer::MakeStillBmp(120, 90, 7);
    for (const char* name : {"still.bmp", "still.DIB", "still.Bmp"}) {
        SCOPED_TRACE(name);
        Rig.Context.Header.Duration = 123456;  // left from an earlier recording
        Rig.Frames.Clear();
        Rig.Index.Clear();
        ASSERT_EQ(Rig.OpenAndWait(Source, Save(name, bmp)), 0);
        EXPECT_EQ(Rig.Context.Header.Width, 120);
        EXPECT_EQ(Rig.Context.Header.Height, 90);
        EXPECT_EQ(Rig.Context.Header.Duration, 0u) << "nothing of the earlier recording stays";
        EXPECT_EQ(Source.FileKind(), fkBitmap);
        auto records = Rig.Records();
        ASSERT_EQ(records.size(), 1u);
        FrameHeader expected{};
        expected.Kind = fkKeyFrame;
        expected.Length = static_cast<uint32_t>(bmp.size());
        EXPECT_EQ(Bytes(records[0].begin(), records[0].begin() + 28),
                  Bytes(reinterpret_cast<uint8_t*>(&expected), reinterpret_cast<uint8_t*>(&expected) + 28));
        EXPECT_EQ(Bytes(records[0].begin() + 28, records[0].end()), bmp);
        const auto index = Rig.IndexEntries();
        ASSERT_EQ(index.size(), 1u);
        EXPECT_EQ(index[0].Time, 0u);
        EXPECT_EQ(index[0].Offset, 0u);

        // Complete after the open: reads and seeks do nothing...
        Source.Read(-1);
        Source.Seek(0);
        Source.Read(50);
        Sleep(100);
        EXPECT_EQ(Rig.Frames.Count(), 1);
        EXPECT_EQ(Rig.Player.Messages().Count(WM_ENGINE_SHOW), 0u);
        // ...and a stop empties the buffer.
        Source.Stop();
        EXPECT_EQ(Rig.Frames.Count(), 0);
    }
}

TEST_F(FileSourceTest, JpegOpensTopRowUpAsABottomUpBitmap)
{
    // Top half white, bottom half black.
    writer::TPicture picture(64, 48, [](int, int y) { return y < 24 ? 0xFFFFFFu : 0x000000u; });
    const Bytes jpeg = writer::PictureJpeg(picture, 90);
    for (const char* name : {"still.jpg", "still.JPEG"}) {
        SCOPED_TRACE(name);
        Rig.Frames.Clear();
        ASSERT_EQ(Rig.OpenAndWait(Source, Save(name, jpeg)), 0);
        EXPECT_EQ(Source.FileKind(), fkJpeg);
        EXPECT_EQ(Rig.Context.Header.Width, 64);
        EXPECT_EQ(Rig.Context.Header.Height, 48);
        auto records = Rig.Records();
        ASSERT_EQ(records.size(), 1u);
        const FrameHeader& h = RecordHeader(records[0].data());
        EXPECT_EQ(h.Kind, fkKeyFrame);
        EXPECT_EQ(h.Compression, ctStored);
        const uint8_t* image = records[0].data() + 28;
        int32_t width, height;
        uint32_t offset, fileSize;
        std::memcpy(&fileSize, image + 2, 4);
        std::memcpy(&offset, image + 10, 4);
        std::memcpy(&width, image + 18, 4);
        std::memcpy(&height, image + 22, 4);
        EXPECT_EQ(h.Length, fileSize);
        EXPECT_EQ(width, 64);
        EXPECT_EQ(height, 48) << "positive: bottom-up";
        // Bottom-up: the first stored row is the bottom of the picture.
        const uint32_t row = RowBytes(64, 24);
        EXPECT_LT(image[offset + 10], 40) << "first stored row is the black bottom";
        EXPECT_GT(image[offset + 47 * row + 10], 215) << "last stored row is the white top";
    }
}

TEST_F(FileSourceTest, PicturesThatDoNotFitOrAreDamagedFailWithCodeSix)
{
    struct Case {
        const char* Name;
        Bytes File;
    };
    const std::vector<Case> cases = {
        {"wide.bmp", writer::MakeStillBmp(70000, 1, 3)},  // width beyond 16 bits
        {"tall.bmp", writer::MakeStillBmp(1, 70000, 3)},
        // A JPEG cannot state 70000; the widest it may state is refused too.
        {"wide.jpg", writer::WithJpegSize(writer::MakeStillJpeg(16, 16, 2), 65535, 16)},
        {"garbage.bmp", Bytes(5000, 0x42)},
        {"empty.bmp", Bytes()},
        {"garbage.jpg", Bytes(5000, 0x42)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Rig.Frames.Clear();
        const uint64_t mark = LogMark();
        EXPECT_EQ(Rig.OpenAndWait(Source, Save(c.Name, c.File)), ecUnknown);
        EXPECT_EQ(Rig.Frames.Count(), 0);
        EXPECT_FALSE(LogSince(mark).empty()) << "the cause is logged";
    }
}

TEST_F(FileSourceTest, ATargetBeforeTheFirstRecordShowsTheFirst)
{
    writer::TRecordingWriter w(640, 480, kVersion0101);
    w.AddFrame(100, fkKeyFrame, ctZlib, 0, 0, Bytes(50, 1));
    w.AddFrame(140, fkCopyRect, ctZlib, 0, 0, Bytes(50, 2));
    ASSERT_EQ(Rig.OpenAndWait(Source, Save("late-start.qov", w.Build())), 0);
    Source.Read(50);
    EXPECT_EQ(Rig.WaitShow(3000), std::optional<int32_t>(0)) << "never an index before the first";
}

TEST_F(FileSourceTest, AFrameLengthThatCannotFitIsAReportedFailure)
{
    // A sparse file whose frame region (2.25 GB) could hold the record's
    // claimed 2 GB, which no receive buffer can.
    const std::string path = ScratchPath("huge-frame.qov");
    const int64_t indexOffset = int64_t(0x90000000);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    const Bytes header =
        writer::RecordingHeaderBytes(writer::MakeRecordingHeader(kVersion0101, 640, 480, 0, indexOffset));
    Bytes record(28, 0);
    const FrameHeader frame = writer::MakeFrameHeader(0, fkKeyFrame, ctStored, 0, 0, 0x7FFFFFF0u);
    std::memcpy(record.data(), &frame, 28);
    WriteFile(file, header.data(), 32, &done, nullptr);
    WriteFile(file, record.data(), 28, &done, nullptr);
    LARGE_INTEGER at;
    at.QuadPart = 32 + indexOffset;
    SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
    const Bytes index = writer::MakeIndex(kVersion0101, {IndexEntry{0, 0}});
    WriteFile(file, index.data(), DWORD(index.size()), &done, nullptr);
    CloseHandle(file);

    {
    TFileThread source(&Rig.Context);
    ASSERT_EQ(Rig.OpenAndWait(source, path), 0);
    const uint64_t mark = LogMark();
    Rig.Window.Messages().Clear();
    source.Read(-1);
    auto status = Rig.Window.Messages().WaitFor(WM_ENGINE_STATUS, kAfterLogMs);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->WParam, WPARAM(kHandlerFailureStatus));
    EXPECT_TRUE(WaitLogLines(mark, "TReadThread.HandleRead -> Range check error: frame of 2147483632 bytes", 1, kAfterLogMs))
        << LogSince(mark);
    EXPECT_EQ(Rig.Frames.Count(), 0);
    EXPECT_EQ(source.Capacity(), kReceiveBufferSize) << "no buffer was grown for it";
    const DWORD start = GetTickCount();
    source.Stop();
    EXPECT_LT(GetTickCount() - start, 200u) << "the thread has ended: the stop returns at once";
    }
    EXPECT_TRUE(DeleteFileA(path.c_str()));
}
