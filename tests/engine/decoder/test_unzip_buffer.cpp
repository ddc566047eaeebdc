// Frame decoder core: stored pictures, LZO1X blocks, zlib streams, types it
// refuses, and outputs that would not fit.
#include <gtest/gtest.h>

#include "DecoderTestData.h"
#include "QovFormat.h"
#include "UnitDecoder.h"

using namespace qov;
using namespace qov::test;
using decoder::UnZipBuffer;

namespace {

const char kTooSmall[] = "输出缓冲区太小";
const char kUnsupported[] = "不支持这种图象压缩格式!";
const char kZlibTooSmall[] = "ZLib error: target buffer may be too small";

Bytes Picture(int width, int height, int bits = 24)
{
    return writer::MakeBmp(width, height, bits, ScreenPixel);
}

struct Output {
    explicit Output(size_t size, size_t guard = 64) : Size(size), Bytes_(size + guard, kUntouched) {}
    uint8_t* Data() { return Bytes_.data(); }
    size_t GuardTouched() const { return Touched(Bytes_.data() + Size, Bytes_.size() - Size); }
    size_t AllTouched() const { return Touched(Bytes_.data(), Bytes_.size()); }
    size_t Size;
    Bytes Bytes_;
};

int Decode(const Bytes& payload, uint16_t type, Output& out)
{
    TSuperMemoryStream input;
    return UnZipBuffer(input, payload.data(), uint32_t(payload.size()), type, out.Data(), uint32_t(out.Size));
}

} // namespace

TEST(UnZipBufferNoData, SizeZeroOrNilDataGivesZeroForEveryType)
{
    const Bytes payload = Picture(4, 4);
    for (uint16_t type : {0, 1, 2, 3, 4, 7, 0xFFFF}) {
        Output out(256);
        TSuperMemoryStream input;
        EXPECT_EQ(UnZipBuffer(input, payload.data(), 0, type, out.Data(), 256), 0) << type;
        EXPECT_EQ(UnZipBuffer(input, nullptr, 100, type, out.Data(), 256), 0) << type;
        EXPECT_EQ(out.AllTouched(), 0u) << type;
    }
}

TEST(UnZipBufferTypes, OthersThanZeroToThreeAreRefused)
{
    const Bytes payload = Picture(2, 2);
    for (uint16_t type : {4, 7, 0x100, 0xFFFF}) {
        Output out(1024);
        const Raised r = RaisedBy([&] { Decode(payload, type, out); });
        EXPECT_EQ(r.Type, std::type_index(typeid(Exception))) << type;
        EXPECT_EQ(r.Message, kUnsupported) << type;
        EXPECT_EQ(out.AllTouched(), 0u);
    }
}

TEST(UnZipBufferStored, ComesBackByteForByte)
{
    const Bytes payload = Picture(5, 3);  // 54 + 3 rows of 16 bytes
    ASSERT_EQ(payload.size(), 54u + 48u);
    Output out(payload.size());
    EXPECT_EQ(Decode(payload, ctStored, out), int(payload.size()));
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), out.Bytes_.begin()));
    EXPECT_EQ(out.GuardTouched(), 0u);
}

TEST(UnZipBufferStored, TooLargeRaisesBeforeWriting)
{
    const Bytes payload = Picture(5, 3);
    Output out(payload.size() - 1);
    const Raised r = RaisedBy([&] { Decode(payload, ctStored, out); });
    EXPECT_EQ(r.Message, kTooSmall);
    EXPECT_EQ(out.AllTouched(), 0u);

    TSuperMemoryStream input;
    EXPECT_EQ(RaisedBy([&] { UnZipBuffer(input, payload.data(), uint32_t(payload.size()), ctStored, nullptr, 4096); })
                  .Message,
              kTooSmall);
}

TEST(UnZipBufferLzo, RoundTripAndExactFit)
{
    const Bytes picture = Picture(64, 32);
    const Bytes block = writer::EncodeLzo1x1(picture);
    Output out(picture.size());
    EXPECT_EQ(Decode(block, ctLZO1X, out), int(picture.size()));
    EXPECT_TRUE(std::equal(picture.begin(), picture.end(), out.Bytes_.begin()));
    EXPECT_EQ(out.GuardTouched(), 0u);
}

TEST(UnZipBufferLzo, DamagedBlocksGiveMinusOne)
{
    const Bytes picture = Picture(64, 32);
    Bytes extra = writer::EncodeLzo1x1(picture);
    extra.push_back(0);
    Bytes truncated = writer::EncodeLzo1x1(picture);
    truncated.resize(truncated.size() - 1);
    const Bytes garbage = {0x11, 0x00, 0x00, 0x00};  // end marker, then a byte left over
    for (const Bytes* block : std::initializer_list<const Bytes*>{&extra, &truncated, &garbage}) {
        Output out(picture.size() + 100);
        EXPECT_EQ(Decode(*block, ctLZO1X, out), -1);
        EXPECT_EQ(out.GuardTouched(), 0u);
    }
}

TEST(UnZipBufferLzo, BlockLargerThanOutputRaisesAndStaysInside)
{
    const Bytes picture = Picture(64, 32);
    const Bytes block = writer::EncodeLzo1x1(picture);
    Output out(picture.size() - 1);
    EXPECT_EQ(RaisedBy([&] { Decode(block, ctLZO1X, out); }).Message, kTooSmall);
    EXPECT_EQ(out.GuardTouched(), 0u);
}

TEST(DecompressLzo, BoundedByCapacity)
{
    const Bytes data(5000, 0x33);
    const Bytes block = writer::EncodeLzo1x1(data);
    Bytes dst(5000 + 16, kUntouched);
    bool tooSmall = true;
    EXPECT_EQ(decoder::Decompress(block.data(), uint32_t(block.size()), dst.data(), 5000, &tooSmall), 5000);
    EXPECT_FALSE(tooSmall);
    std::fill(dst.begin(), dst.end(), kUntouched);
    EXPECT_EQ(decoder::Decompress(block.data(), uint32_t(block.size()), dst.data(), 4999, &tooSmall), -1);
    EXPECT_TRUE(tooSmall);
    EXPECT_EQ(Touched(dst.data() + 4999, 17), 0u);
}

TEST(UnZipBufferZlib, ResultIsTheImageSizeField)
{
    Bytes picture = Picture(7, 5);
    const uint32_t imageSize = uint32_t(picture.size());
    picture.resize(picture.size() + 10, 0x77);  // bytes behind the image
    const Bytes stream = writer::EncodeZlib(picture);
    Output out(picture.size());
    EXPECT_EQ(Decode(stream, ctZlib, out), int(imageSize));
    EXPECT_TRUE(std::equal(picture.begin(), picture.end(), out.Bytes_.begin()));
    EXPECT_EQ(out.GuardTouched(), 0u);
}

TEST(UnZipBufferZlib, StreamLargerThanOutputRaisesTooSmall)
{
    const Bytes picture = Picture(7, 5);
    const Bytes stream = writer::EncodeZlib(picture);
    Output out(picture.size() - 1);
    const Raised r = RaisedBy([&] { Decode(stream, ctZlib, out); });
    EXPECT_EQ(r.Type, std::type_index(typeid(EZlibError)));
    EXPECT_EQ(r.Message, kZlibTooSmall);
    EXPECT_EQ(out.GuardTouched(), 0u);
}

TEST(UnZipBufferZlib, DamagedOrTruncatedStreamRaisesError)
{
    const Bytes picture = Picture(40, 20);
    Bytes damaged = writer::EncodeZlib(picture);
    damaged[0] = 0x00;  // no zlib header
    Bytes truncated = writer::EncodeZlib(picture);
    truncated.resize(truncated.size() / 2);
    Bytes badChecksum = writer::EncodeZlib(picture);
    badChecksum.back() ^= 0xFF;
    for (const Bytes* stream : std::initializer_list<const Bytes*>{&damaged, &truncated, &badChecksum}) {
        Output out(picture.size() + 100);
        const Raised r = RaisedBy([&] { Decode(*stream, ctZlib, out); });
        EXPECT_EQ(r.Type, std::type_index(typeid(EDecompressionError)));
        EXPECT_EQ(r.Message, "Error");
        EXPECT_EQ(out.GuardTouched(), 0u);
    }
}

TEST(UnZipBufferZlib, SizeFieldMustLieWithinTheInflatedBytes)
{
    Bytes picture = Picture(7, 5);
    Put32(picture.data() + 2, uint32_t(picture.size()) + 1);
    const Bytes tooLong = writer::EncodeZlib(picture);
    const Bytes tiny = writer::EncodeZlib(Bytes{'B', 'M', 6, 0, 0});
    for (const Bytes* stream : std::initializer_list<const Bytes*>{&tooLong, &tiny}) {
        Output out(1024);
        const Raised r = RaisedBy([&] { Decode(*stream, ctZlib, out); });
        EXPECT_EQ(r.Type, std::type_index(typeid(EZlibError)));
        EXPECT_NE(r.Message.find("ZLib error"), std::string::npos) << r.Message;
    }
    // Six bytes whose size field says six: accepted as it stands.
    Output out(64);
    EXPECT_EQ(Decode(writer::EncodeZlib(Bytes{'B', 'M', 6, 0, 0, 0}), ctZlib, out), 6);
}
