// CheckDecodedFrame: the test a BMP image passes before later stages trust
// its headers.
#include <gtest/gtest.h>

#include <climits>
#include <functional>

#include "DecoderTestData.h"
#include "UnitDecoder.h"

using namespace qov;
using namespace qov::test;
using decoder::CheckDecodedFrame;

namespace {

bool Check(const Bytes& image, std::string* why = nullptr)
{
    return CheckDecodedFrame(image.data(), uint32_t(image.size()), why);
}

// The 24-bit 5 x 3 picture with one change.
Bytes Changed(const std::function<void(Bytes&)>& change)
{
    Bytes image = writer::MakeBmp(5, 3, 24, ScreenPixel);
    change(image);
    return image;
}

void Set32(Bytes& b, size_t at, uint32_t v) { Put32(b.data() + at, v); }

} // namespace

TEST(CheckDecodedFrame, AcceptsEveryBitCountBothWaysUp)
{
    for (int bits : {1, 4, 8, 16, 24, 32})
        for (int height : {7, -7}) {
            std::string why;
            EXPECT_TRUE(Check(writer::MakeBmp(13, height, bits, ScreenPixel), &why)) << bits << " " << why;
        }
    // Trailing bytes behind the image are fine; a length shorter than the image is not.
    Bytes image = writer::MakeBmp(5, 3, 24, ScreenPixel);
    image.resize(image.size() + 9);
    EXPECT_TRUE(Check(image));
    EXPECT_FALSE(CheckDecodedFrame(image.data(), uint32_t(image.size() - 10), nullptr));
}

TEST(CheckDecodedFrame, RefusesHeadersThatWouldLeadPastTheImage)
{
    const std::vector<std::pair<const char*, std::function<void(Bytes&)>>> cases = {
        {"type", [](Bytes& b) { b[1] = 'A'; }},
        {"file size below the headers", [](Bytes& b) { Set32(b, 2, 53); }},
        {"file size beyond length", [](Bytes& b) { Set32(b, 2, uint32_t(b.size()) + 1); }},
        {"information header size", [](Bytes& b) { Set32(b, 14, 12); }},
        {"information header past the file", [](Bytes& b) { Set32(b, 14, 0xFFFFFFF0u); }},
        {"width 0", [](Bytes& b) { Set32(b, 18, 0); }},
        {"width negative", [](Bytes& b) { Set32(b, 18, uint32_t(-5)); }},
        {"height 0", [](Bytes& b) { Set32(b, 22, 0); }},
        {"height INT_MIN", [](Bytes& b) { Set32(b, 22, 0x80000000u); }},
        {"planes", [](Bytes& b) { b[26] = 2; }},
        {"bits", [](Bytes& b) { b[28] = 2; }},
        {"compression", [](Bytes& b) { Set32(b, 30, 1); }},
        {"pixel offset inside the headers", [](Bytes& b) { Set32(b, 10, 53); }},
        {"one row too many", [](Bytes& b) { Set32(b, 22, 4); }},
        {"one row too many, top-down", [](Bytes& b) { Set32(b, 22, uint32_t(-4)); }},
        {"rows past the file by one byte", [](Bytes& b) { Set32(b, 10, 55); }},
        {"width overflowing 32 bits", [](Bytes& b) { Set32(b, 18, 0x7FFFFFFF); Set32(b, 22, 0x7FFFFFFF); }},
        {"pixel offset near 4 GiB", [](Bytes& b) { Set32(b, 10, 0xFFFFFFF0u); }},
    };
    for (const auto& [name, change] : cases) {
        std::string why;
        EXPECT_FALSE(Check(Changed(change), &why)) << name;
        EXPECT_FALSE(why.empty()) << name;
    }
    EXPECT_FALSE(CheckDecodedFrame(nullptr, 100, nullptr));
    const Bytes image = writer::MakeBmp(5, 3, 24, ScreenPixel);
    EXPECT_FALSE(CheckDecodedFrame(image.data(), 53, nullptr));
}

TEST(CheckDecodedFrame, ColourTableMustPrecedeThePixels)
{
    Bytes image = writer::MakeBmp(8, 2, 8, ScreenPixel);  // 256 colours, pixels at 54 + 1024
    ASSERT_TRUE(Check(image));
    Bytes noTable = image;
    Put32(noTable.data() + 10, 54);
    EXPECT_FALSE(Check(noTable));
    Bytes fewer = noTable;  // 16 colours in use: a table of 64 bytes
    Put32(fewer.data() + 46, 16);
    EXPECT_FALSE(Check(fewer));
    Put32(fewer.data() + 10, 54 + 64);
    EXPECT_TRUE(Check(fewer));
    Put32(fewer.data() + 46, 257);
    EXPECT_FALSE(Check(fewer));
}
