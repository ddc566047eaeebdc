// The frame decoder through QovPlayer.ocx's exports, as the engine and other
// programs call it: reference counting and the shared buffer, the output
// lock, failures reported as -2 with GetDecoderError, and many threads at once.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

#include "DecoderTestData.h"
#include "QovFormat.h"
#include "UnitShare.h"

using namespace qov;
using namespace qov::test;

namespace {

constexpr uint32_t kShared = 0xA00000;

// "输出缓冲区太小" and "不支持这种图象压缩格式!" as GBK bytes.
const char kTooSmallGbk[] = "\xCA\xE4\xB3\xF6\xBB\xBA\xB3\xE5\xC7\xF8\xCC\xAB\xD0\xA1";
const char kUnsupportedGbk[] = "\xB2\xBB\xD6\xA7\xB3\xD6\xD5\xE2\xD6\xD6\xCD\xBC\xCF\xF3\xD1\xB9\xCB\xF5\xB8\xF1\xCA\xBD!";

Bytes Picture(int width = 6, int height = 4)
{
    return writer::MakeBmp(width, height, 24, ScreenPixel);
}

int Ex(const Bytes& payload, uint16_t type, void** out, uint32_t outSize = 0)
{
    return UnZipBufferEx(payload.data(), uint32_t(payload.size()), type, out, outSize);
}

// UnZipBufferEx into the shared buffer.
int ExShared(const Bytes& payload, uint16_t type)
{
    void* out = nullptr;
    return Ex(payload, type, &out);
}

std::string ErrorText(int* errorClass = nullptr)
{
    char text[512];
    const int c = GetDecoderError(text, sizeof(text));
    if (errorClass)
        *errorClass = c;
    return text;
}

bool Committed(const void* p)
{
    MEMORY_BASIC_INFORMATION info{};
    return VirtualQuery(p, &info, sizeof(info)) && info.State == MEM_COMMIT;
}

// Runs f on another thread and tells whether it finished within ms.
template <typename F>
bool FinishesWithin(DWORD ms, F f, std::thread& worker, std::atomic<bool>& done)
{
    worker = std::thread([f, &done] {
        f();
        done = true;
    });
    const DWORD start = GetTickCount();
    while (!done && GetTickCount() - start < ms)
        Sleep(5);
    return done;
}

// Tests that use the shared buffer hold one decoder reference, so that it is
// freed when they end.
class DecoderSession : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(InitDecoder()); }
    void TearDown() override { UninitDecoder(); }
};
class DecoderLock : public DecoderSession {};
class DecoderFailures : public DecoderSession {};
class DecoderCalls : public DecoderSession {};

} // namespace

TEST(DecoderThreads, FirstUseFromManyThreadsAtOnce)
{
    const Bytes jpeg = writer::EncodeJpeg(64, 48, 3, 85, ScreenPixel);
    const int expected = 54 + 192 * 48;
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            WaitForSingleObject(go, INFINITE);
            for (int i = 0; i < 20; ++i) {
                if (!InitDecoder())
                    return;
                LockOutputBuffer();
                void* shared = nullptr;
                const bool ok = Ex(jpeg, ctJPEG, &shared) == expected && shared &&
                                test::Get32(static_cast<uint8_t*>(shared) + 2) == uint32_t(expected);
                UnlockOutputBuffer();
                UninitDecoder();
                if (!ok)
                    return;
            }
            ++good;
        });
    SetEvent(go);
    for (auto& t : threads)
        t.join();
    CloseHandle(go);
    EXPECT_EQ(good, 8);

    // Balanced: the count is back at 0, so one more Init and Uninit free the buffer.
    ASSERT_TRUE(InitDecoder());
    void* shared = nullptr;
    ASSERT_EQ(Ex(jpeg, ctJPEG, &shared), expected);
    UninitDecoder();
    EXPECT_FALSE(Committed(shared));
}

TEST(DecoderExports, ExportedByUndecoratedName)
{
    HMODULE library = GetModuleHandleA("QovPlayer.ocx");
    ASSERT_NE(library, nullptr);
    for (const char* name : {"InitDecoder", "UninitDecoder", "LockOutputBuffer", "UnlockOutputBuffer", "UnZipBuffer",
                             "UnZipBufferEx", "CheckQovFileHeader", "Decompress", "GetDecoderError"})
        EXPECT_NE(GetProcAddress(library, name), nullptr) << name;
    EXPECT_EQ(GetProcAddress(library, "UnZipBuffer@20"), nullptr);
    EXPECT_EQ(GetProcAddress(library, "QovUnZipBuffer@20"), nullptr);
}

TEST(DecoderExports, CheckQovFileHeader)
{
    EXPECT_TRUE(CheckQovFileHeader("AV\x01\x01"));
    EXPECT_FALSE(CheckQovFileHeader("VA"));
    EXPECT_FALSE(CheckQovFileHeader("AW"));
    EXPECT_FALSE(CheckQovFileHeader(nullptr));
}

TEST(DecoderReferences, SharedBufferLivesUntilTheLastUninit)
{
    ASSERT_TRUE(InitDecoder());
    ASSERT_TRUE(InitDecoder());
    const Bytes picture = Picture();
    void* shared = nullptr;
    ASSERT_EQ(Ex(picture, ctStored, &shared), int(picture.size()));
    ASSERT_NE(shared, nullptr);
    void* again = nullptr;
    EXPECT_EQ(Ex(picture, ctStored, &again, 10), int(picture.size()));  // outSize ignored for nil
    EXPECT_EQ(again, shared);

    EXPECT_TRUE(UninitDecoder());
    ASSERT_TRUE(Committed(shared));
    EXPECT_TRUE(std::equal(picture.begin(), picture.end(), static_cast<uint8_t*>(shared)));
    EXPECT_TRUE(UninitDecoder());
    EXPECT_FALSE(Committed(shared));
}

TEST(DecoderReferences, UninitAtZeroStaysAtZero)
{
    EXPECT_TRUE(UninitDecoder());
    EXPECT_TRUE(UninitDecoder());
    // One InitDecoder now makes the count 1, so one UninitDecoder frees again.
    ASSERT_TRUE(InitDecoder());
    void* shared = nullptr;
    ASSERT_GT(Ex(Picture(), ctStored, &shared), 0);
    EXPECT_TRUE(UninitDecoder());
    EXPECT_FALSE(Committed(shared));
}

TEST_F(DecoderLock, RecursiveForTheHolderAndExclusiveForOthers)
{
    LockOutputBuffer();
    LockOutputBuffer();
    void* shared = nullptr;
    EXPECT_GT(Ex(Picture(), ctStored, &shared), 0);  // enters once more and leaves

    // Another thread's Unlock does not release what this thread holds.
    std::thread([] { UnlockOutputBuffer(); }).join();

    std::atomic<bool> done{false};
    std::thread worker;
    EXPECT_FALSE(FinishesWithin(150, [] { LockOutputBuffer(); UnlockOutputBuffer(); }, worker, done));
    UnlockOutputBuffer();
    Sleep(50);
    EXPECT_FALSE(done);
    UnlockOutputBuffer();
    const DWORD start = GetTickCount();
    while (!done && GetTickCount() - start < 5000)
        Sleep(5);
    EXPECT_TRUE(done);
    worker.join();
}

TEST_F(DecoderLock, NoDataTakesNoLockAndLeavesTheBuffer)
{
    std::atomic<bool> holding{false}, release{false};
    std::thread holder([&] {
        LockOutputBuffer();
        holding = true;
        while (!release)
            Sleep(1);
        UnlockOutputBuffer();
    });
    while (!holding)
        Sleep(1);
    const Bytes picture = Picture();
    void* out = nullptr;
    EXPECT_EQ(UnZipBufferEx(picture.data(), 0, ctStored, &out, 0), 0);
    EXPECT_EQ(UnZipBufferEx(nullptr, 100, ctJPEG, &out, 0), 0);
    EXPECT_EQ(out, nullptr);
    release = true;
    holder.join();
}

TEST_F(DecoderFailures, ReportedAsMinusTwoWithClassAndGbkText)
{
    const Bytes picture = Picture(40, 20);
    Bytes small(100, kUntouched);
    int c = -1;

    EXPECT_EQ(UnZipBuffer(picture.data(), uint32_t(picture.size()), 7, small.data(), 100), kDecodeFailed);
    EXPECT_EQ(ErrorText(&c), kUnsupportedGbk);
    EXPECT_EQ(c, decGeneral);

    EXPECT_EQ(UnZipBuffer(picture.data(), uint32_t(picture.size()), ctStored, small.data(), 100), kDecodeFailed);
    EXPECT_EQ(ErrorText(&c), kTooSmallGbk);
    EXPECT_EQ(c, decGeneral);
    EXPECT_EQ(Touched(small.data(), small.size()), 0u);

    Bytes jpeg = writer::EncodeJpeg(8, 8, 3, 80, ScreenPixel);
    jpeg[0] = 0;
    EXPECT_EQ(ExShared(jpeg, ctJPEG), kDecodeFailed);
    EXPECT_EQ(ErrorText(&c).rfind("JPEG error #", 0), 0u);
    EXPECT_EQ(c, decJPEG);

    const Bytes stream = writer::EncodeZlib(picture);
    EXPECT_EQ(UnZipBuffer(stream.data(), uint32_t(stream.size()), ctZlib, small.data(), 100), kDecodeFailed);
    EXPECT_EQ(ErrorText(&c), "ZLib error: target buffer may be too small");
    EXPECT_EQ(c, decZlib);

    Bytes damaged = stream;
    damaged.back() ^= 1;
    EXPECT_EQ(ExShared(damaged, ctZlib), kDecodeFailed);
    EXPECT_EQ(ErrorText(&c), "Error");
    EXPECT_EQ(c, decDecompression);

    // A damaged LZO1X block stays -1 and is no raised failure.
    Bytes block = writer::EncodeLzo1x1(picture);
    block.push_back(0);
    EXPECT_EQ(ExShared(block, ctLZO1X), -1);
    EXPECT_EQ(ErrorText(&c), "");
    EXPECT_EQ(c, decNone);
}

TEST_F(DecoderFailures, PerThreadAndClearedBySuccess)
{
    const Bytes picture = Picture();
    Bytes out(4096);
    EXPECT_EQ(UnZipBuffer(picture.data(), uint32_t(picture.size()), 9, out.data(), 4096), kDecodeFailed);
    int other = -1;
    std::thread([&] { other = GetDecoderError(nullptr, 0); }).join();
    EXPECT_EQ(other, decNone);
    char shortText[5];
    EXPECT_EQ(GetDecoderError(shortText, sizeof(shortText)), decGeneral);
    EXPECT_EQ(std::string(shortText), std::string(kUnsupportedGbk, 4));
    EXPECT_EQ(UnZipBuffer(picture.data(), uint32_t(picture.size()), ctStored, out.data(), 4096), int(picture.size()));
    EXPECT_EQ(GetDecoderError(nullptr, 0), decNone);
}

TEST_F(DecoderFailures, UnZipBufferExReleasesTheLockOnFailure)
{
    const Bytes picture = Picture();
    void* shared = nullptr;
    EXPECT_EQ(Ex(picture, 7, &shared), kDecodeFailed);
    std::atomic<bool> done{false};
    std::thread worker;
    EXPECT_TRUE(FinishesWithin(5000, [] { LockOutputBuffer(); UnlockOutputBuffer(); }, worker, done));
    worker.join();
}

TEST_F(DecoderCalls, EngineWrappersRaiseTheDecoderClasses)
{
    const Bytes picture = Picture(40, 20);
    Bytes small(100);
    const Bytes stream = writer::EncodeZlib(picture);
    EXPECT_THROW(DecodePayload(stream.data(), uint32_t(stream.size()), ctZlib, small.data(), 100), EZlibFailure);
    Bytes damaged = stream;
    damaged[0] = 0;
    void* shared = nullptr;
    EXPECT_THROW(DecodePayloadEx(damaged.data(), uint32_t(damaged.size()), ctZlib, &shared, 0),
                 EDecompressionFailure);
    const Bytes notJpeg = {1, 2, 3};
    void* none = nullptr;
    EXPECT_THROW(DecodePayloadEx(notJpeg.data(), 3, ctJPEG, &none, 0), EJPEGFailure);
    EXPECT_EQ(none, shared);
    try {
        DecodePayload(picture.data(), uint32_t(picture.size()), 5, small.data(), 100);
        ADD_FAILURE() << "no exception";
    } catch (const EDecoder& e) {
        EXPECT_STREQ(e.what(), kUnsupportedGbk);
    }
    EXPECT_EQ(DecodePayloadEx(picture.data(), uint32_t(picture.size()), ctStored, &shared, kShared),
              int(picture.size()));
}

TEST(DecoderDecompress, OutputBoundedByTheSharedBufferSize)
{
    Bytes data(kShared, 0);
    for (size_t i = 0; i < data.size(); i += 7)
        data[i] = uint8_t(i >> 3);
    const Bytes fits = writer::EncodeLzo1x1(data);
    data.push_back(1);
    const Bytes tooLarge = writer::EncodeLzo1x1(data);

    std::vector<uint8_t> dst(kShared + 4096, kUntouched);
    EXPECT_EQ(Decompress(fits.data(), uint32_t(fits.size()), dst.data()), int(kShared));
    std::fill(dst.begin(), dst.end(), kUntouched);
    EXPECT_EQ(Decompress(tooLarge.data(), uint32_t(tooLarge.size()), dst.data()), -1);
    EXPECT_EQ(Touched(dst.data() + kShared, 4096), 0u);
}
