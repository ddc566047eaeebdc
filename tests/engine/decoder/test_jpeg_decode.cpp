// Frame decoder core, JPEG payloads: the DecodedFrame layout (a top-down
// 24-bit B,G,R image whose first row is the JPEG's last scanline), grayscale
// and CMYK streams, damaged data and pictures that do not fit.
#include <gtest/gtest.h>

#include <jerror.h>

#include <cstdlib>

#include "DecoderTestData.h"
#include "QovFormat.h"
#include "UnitDecoder.h"

using namespace qov;
using namespace qov::test;

namespace {

const char kTooSmall[] = "输出缓冲区太小";

int Decode(const Bytes& jpeg, uint8_t* out, uint32_t outSize)
{
    TSuperMemoryStream input;
    return decoder::UnZipBuffer(input, jpeg.data(), uint32_t(jpeg.size()), ctJPEG, out, outSize);
}

// Checks one B,G,R pixel against 0xRRGGBB within the JPEG's loss.
void ExpectPixel(const uint8_t* p, uint32_t rgb, const char* where)
{
    EXPECT_NEAR(p[0], int(rgb & 0xFF), 12) << where << " blue";
    EXPECT_NEAR(p[1], int((rgb >> 8) & 0xFF), 12) << where << " green";
    EXPECT_NEAR(p[2], int((rgb >> 16) & 0xFF), 12) << where << " red";
}

std::string JpegError(int code)
{
    return Format("JPEG error #%d", code);
}

} // namespace

TEST(JpegLayout, ThreeByTwoGivesA78ByteTopDownImage)
{
    // Scanline 0 white, scanline 1 black.
    const Bytes jpeg = writer::EncodeJpeg(3, 2, 3, 95, [](int, int y) { return y == 0 ? 0xFFFFFFu : 0u; });
    Bytes out(200, kUntouched);
    ASSERT_EQ(Decode(jpeg, out.data(), 200), 78);
    const uint8_t* b = out.data();
    EXPECT_EQ(b[0], 'B');
    EXPECT_EQ(b[1], 'M');
    EXPECT_EQ(Get32(b + 2), 78u);   // file size
    EXPECT_EQ(Get32(b + 6), 0u);    // reserved
    EXPECT_EQ(Get32(b + 10), 54u);  // pixel offset
    EXPECT_EQ(Get32(b + 14), 40u);
    EXPECT_EQ(Get32(b + 18), 3u);
    EXPECT_EQ(int32_t(Get32(b + 22)), -2);
    EXPECT_EQ(Get16(b + 26), 1u);
    EXPECT_EQ(Get16(b + 28), 24u);
    EXPECT_EQ(Get32(b + 30), 0u);   // compression
    EXPECT_EQ(Get32(b + 34), 24u);  // image size: 2 rows of 12 bytes
    for (int at = 38; at < 54; ++at)
        EXPECT_EQ(b[at], 0) << "resolutions and colour counts, byte " << at;
    // First row in memory: the last scanline (black); bytes 66-74: the top one.
    for (int x = 0; x < 3; ++x) {
        ExpectPixel(b + 54 + 3 * x, 0x000000, "row 0");
        ExpectPixel(b + 66 + 3 * x, 0xFFFFFF, "row 1");
    }
    for (int at : {63, 64, 65, 75, 76, 77})
        EXPECT_EQ(b[at], 0) << "row fill byte " << at;
    EXPECT_EQ(Touched(b + 78, 200 - 78), 0u);
    std::string why;
    EXPECT_TRUE(decoder::CheckDecodedFrame(b, 78, &why)) << why;
}

TEST(JpegLayout, BlackFirstScanlineIsTheLastRowInMemory)
{
    const int w = 16, h = 8;
    const Bytes jpeg = writer::EncodeJpeg(w, h, 3, 90, [](int, int y) { return y == 0 ? 0u : 0xFFFFFFu; });
    Bytes out(54 + 48 * h);
    ASSERT_EQ(Decode(jpeg, out.data(), uint32_t(out.size())), int(out.size()));
    for (int row = 0; row < h; ++row)
        for (int x = 0; x < w; x += 5)
            ExpectPixel(out.data() + 54 + 48 * row + 3 * x, row == h - 1 ? 0x000000 : 0xFFFFFF, "pixel");
}

TEST(JpegLayout, ColoursComeOutBlueGreenRed)
{
    // Top half red, bottom half blue, a green stripe on the right.
    const int w = 32, h = 32;
    auto colour = [](int x, int y) -> uint32_t { return x >= 24 ? 0x00FF00 : y < 16 ? 0xFF0000 : 0x0000FF; };
    const Bytes jpeg = writer::EncodeJpeg(w, h, 3, 95, colour);
    const uint32_t stride = RowBytes(w, 24);
    Bytes out(54 + stride * h);
    ASSERT_EQ(Decode(jpeg, out.data(), uint32_t(out.size())), int(out.size()));
    for (int y : {0, 4, 27, 31})
        for (int x : {1, 12, 29}) {
            const int memRow = h - 1 - y;
            ExpectPixel(out.data() + 54 + stride * memRow + 3 * x, colour(x, y), "colour");
        }
}

TEST(JpegLayout, GrayscaleFillsTheThreeBytesOfEachPixel)
{
    const Bytes jpeg = writer::EncodeJpeg(5, 2, 1, 95, [](int, int y) { return y == 0 ? 0x20u : 0xC0u; });
    Bytes out(200, kUntouched);
    ASSERT_EQ(Decode(jpeg, out.data(), 200), 54 + 16 * 2);
    EXPECT_EQ(Get16(out.data() + 28), 24u);
    for (int x = 0; x < 5; ++x) {
        ExpectPixel(out.data() + 54 + 3 * x, 0xC0C0C0, "last scanline");
        ExpectPixel(out.data() + 70 + 3 * x, 0x202020, "first scanline");
    }
    EXPECT_EQ(Touched(out.data() + 86, 200 - 86), 0u);
}

TEST(JpegOutput, TooSmallRaisesBeforeAnythingIsWritten)
{
    const Bytes jpeg = writer::EncodeJpeg(3, 2, 3, 95, ScreenPixel);
    Bytes out(200, kUntouched);
    EXPECT_EQ(RaisedBy([&] { Decode(jpeg, out.data(), 77); }).Message, kTooSmall);
    EXPECT_EQ(Touched(out.data(), out.size()), 0u);
    EXPECT_EQ(Decode(jpeg, out.data(), 78), 78);
}

TEST(JpegOutput, HugeDimensionsNeverWrapTheSizeCheck)
{
    // 43690 pixels make rows of 2^17 bytes; 32768 of them are exactly 2^32.
    const Bytes small = writer::EncodeJpeg(16, 16, 3, 80, ScreenPixel);
    for (auto [w, h] : {std::pair<uint16_t, uint16_t>{43690, 32768}, {65500, 65500}, {2000, 2000}}) {
        const Bytes jpeg = PatchJpegSize(small, w, h);
        ASSERT_FALSE(jpeg.empty());
        Bytes out(4096, kUntouched);
        EXPECT_EQ(RaisedBy([&] { Decode(jpeg, out.data(), 4096); }).Message, kTooSmall) << w << "x" << h;
        EXPECT_EQ(Touched(out.data(), out.size()), 0u);
    }
}

TEST(JpegFailures, DamagedDataRaisesEJPEGWithTheMessageCode)
{
    const Bytes good = writer::EncodeJpeg(16, 16, 3, 80, ScreenPixel);
    Bytes notJpeg = good;
    notJpeg[1] = 0x00;  // no start-of-image marker
    const Raised r = RaisedBy([&] {
        Bytes out(4096);
        Decode(notJpeg, out.data(), 4096);
    });
    EXPECT_EQ(r.Type, std::type_index(typeid(EJPEG)));
    EXPECT_EQ(r.Message, JpegError(JERR_NO_SOI));

    Bytes headerOnly(good.begin(), good.begin() + 40);
    const Bytes one = {0xFF};
    for (const Bytes* jpeg : std::initializer_list<const Bytes*>{&headerOnly, &one}) {
        Bytes out(4096, kUntouched);
        const Raised e = RaisedBy([&] { Decode(*jpeg, out.data(), 4096); });
        EXPECT_EQ(e.Type, std::type_index(typeid(EJPEG)));
        EXPECT_EQ(e.Message.rfind("JPEG error #", 0), 0u) << e.Message;
        EXPECT_GT(std::atoi(e.Message.c_str() + 12), 0) << e.Message;
        EXPECT_EQ(Touched(out.data(), out.size()), 0u);
    }
}

TEST(JpegFailures, CmykCannotOverrunThe24BitRows)
{
    const Bytes jpeg = EncodeCmykJpeg(8, 4);
    const uint32_t imageEnd = 54 + 24 * 4;
    Bytes out(imageEnd + 64, kUntouched);
    const Raised r = RaisedBy([&] { Decode(jpeg, out.data(), uint32_t(out.size())); });
    EXPECT_EQ(r.Type, std::type_index(typeid(EJPEG)));
    EXPECT_EQ(r.Message, JpegError(JERR_CONVERSION_NOTIMPL));
    EXPECT_EQ(Touched(out.data() + imageEnd, 64), 0u);
}

TEST(JpegFailures, TruncatedScanDataDecodesAsFarAsItGoes)
{
    const Bytes good = writer::EncodeJpeg(64, 64, 3, 90, ScreenPixel);
    const Bytes cut(good.begin(), good.begin() + good.size() * 3 / 4);
    Bytes out(54 + 192 * 64 + 16, kUntouched);
    EXPECT_EQ(Decode(cut, out.data(), uint32_t(out.size())), 54 + 192 * 64);
    EXPECT_EQ(Touched(out.data() + 54 + 192 * 64, 16), 0u);
}

TEST(JpegStream, ReadsThePayloadInPlace)
{
    const Bytes jpeg = writer::EncodeJpeg(8, 8, 3, 80, ScreenPixel);
    TSuperMemoryStream input;
    input.SetPointer(jpeg.data(), uint32_t(jpeg.size()));
    EXPECT_EQ(input.Memory(), jpeg.data());
    const JpegHeaderInfo info = ReadJpegHeader(input);
    EXPECT_EQ(info.Width, 8u);
    EXPECT_EQ(info.Height, 8u);
    EXPECT_EQ(info.Components, 3);
}
