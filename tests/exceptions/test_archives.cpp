// Archives of the exception-reporting library: the zlib wrapper, the gzip
// writer and reader, the tar fields and TTGZWriter. Python's gzip, tarfile
// and zlib modules read what they write in codecs_check.py.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>

#include "ETarGZip.h"
#include "EZlib.h"

using namespace qov::exceptions;

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

bool FileExists(const std::string& path)
{
    return std::ifstream(path).good();
}

// Report-like text: compressible but not trivially so.
std::string SampleText(size_t size, unsigned seed = 1)
{
    std::mt19937 random(seed);
    std::string text;
    while (text.size() < size)
        text += "  0040A1B2 prog.exe Unit" + std::to_string(random() % 50) + " TForm1.Click (line " +
                std::to_string(random() % 1000) + ")\r\n";
    text.resize(size);
    return text;
}

std::string RandomBytes(size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (auto& b : bytes)
        b = static_cast<char>(random());
    return bytes;
}

std::string Unpack(const std::string& image)
{
    TOptionsReadStream input(image.data(), image.size());
    TOptionsMemoryStream output;
    LoadGzip(input, output);
    return output.Bytes();
}

std::string ZlibMessage(const std::string& stream)
{
    try {
        DecompressBuffer(stream.data(), static_cast<int32_t>(stream.size()));
    } catch (const EZLibError& e) {
        return e.Message();
    }
    return "no error";
}

// A removed file at the start and the end of a test.
struct TTempFile {
    explicit TTempFile(std::string name) : Name(std::move(name)) { std::remove(Name.c_str()); }
    ~TTempFile() { std::remove(Name.c_str()); }
    std::string Name;
};

} // namespace

TEST(EZlib, MessageTableAndCheck)
{
    EXPECT_STREQ(ZLibErrorText(2), "need dictionary");
    EXPECT_STREQ(ZLibErrorText(1), "stream end");
    EXPECT_STREQ(ZLibErrorText(0), "");
    EXPECT_STREQ(ZLibErrorText(-3), "data error");
    EXPECT_STREQ(ZLibErrorText(-6), "incompatible version");
    EXPECT_STREQ(ZLibErrorText(-7), "");
    EXPECT_STREQ(ZLibErrorText(3), "");
    EXPECT_STREQ(ZLibErrorText(-8), "");
    EXPECT_EQ(ZLibCheck(Z_STREAM_END), Z_STREAM_END);
    EXPECT_EQ(ZLibCheck(Z_NEED_DICT), Z_NEED_DICT);
    try {
        ZLibCheck(Z_MEM_ERROR);
        FAIL();
    } catch (const EZLibError& e) {
        EXPECT_EQ(e.Message(), "insufficient memory");
    }
}

TEST(EZlib, BufferSizes)
{
    EXPECT_EQ(CompressStartSize(1000), 1280);
    EXPECT_EQ(CompressStartSize(0), 256);
    EXPECT_EQ(CompressStartSize(CompressBufferLimit) % 256, 0);
    EXPECT_GT(CompressStartSize(CompressBufferLimit), CompressBufferLimit);
    EXPECT_EQ(DecompressStep(1), 256);
    EXPECT_EQ(DecompressStep(256), 256);
    EXPECT_EQ(DecompressStep(257), 512);
}

TEST(EZlib, EmptyInputGivesTheEightByteStream)
{
    EXPECT_EQ(CompressBuffer("", 0), std::string("\x78\xDA\x03\x00\x00\x00\x00\x01", 8));
    EXPECT_EQ(DecompressBuffer("\x78\xDA\x03\x00\x00\x00\x00\x01", 8), "");
}

TEST(EZlib, RoundTripsAndGrowsTheInflateBuffer)
{
    for (size_t size : {1u, 255u, 256u, 1000u, 70000u}) {
        std::string text = SampleText(size, static_cast<unsigned>(size));
        std::string packed = CompressBuffer(text.data(), static_cast<int32_t>(text.size()));
        EXPECT_EQ(DecompressBuffer(packed.data(), static_cast<int32_t>(packed.size())), text) << size;
    }
    // 1 MiB of zeros from about a kilobyte: thousands of steps of growth.
    std::string zeros(1 << 20, '\0');
    std::string packed = CompressBuffer(zeros.data(), static_cast<int32_t>(zeros.size()));
    EXPECT_LT(packed.size(), 2000u);
    EXPECT_EQ(DecompressBuffer(packed.data(), static_cast<int32_t>(packed.size())), zeros);
    // Incompressible data still fits the start size.
    std::string noise = RandomBytes(100000, 5);
    packed = CompressBuffer(noise.data(), static_cast<int32_t>(noise.size()));
    EXPECT_LE(packed.size(), size_t(CompressStartSize(100000)));
    EXPECT_EQ(DecompressBuffer(packed.data(), static_cast<int32_t>(packed.size())), noise);
}

TEST(EZlib, DamagedStreamsRaiseInsteadOfReturningPart)
{
    std::string text = SampleText(20000);
    std::string packed = CompressBuffer(text.data(), static_cast<int32_t>(text.size()));

    std::string damaged = packed;
    damaged[packed.size() / 2] ^= 0x55;
    damaged[packed.size() / 2 + 1] ^= 0xAA;
    EXPECT_NE(ZlibMessage(damaged), "no error");

    // A wrong Adler-32: zlib finds it after the last byte came out.
    std::string badSum = packed;
    badSum.back() ^= 1;
    EXPECT_EQ(ZlibMessage(badSum), "data error");

    // Cut short, in the data and in the checksum.
    EXPECT_EQ(ZlibMessage(packed.substr(0, packed.size() / 2)), "buffer error");
    EXPECT_EQ(ZlibMessage(packed.substr(0, packed.size() - 2)), "buffer error");
    EXPECT_EQ(ZlibMessage(""), "buffer error");

    // A stream made with a preset dictionary.
    z_stream stream{};
    ASSERT_EQ(deflateInit(&stream, 9), Z_OK);
    ASSERT_EQ(deflateSetDictionary(&stream, reinterpret_cast<const Bytef*>("dictionary"), 10), Z_OK);
    unsigned char out[64];
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>("dictionary words"));
    stream.avail_in = 16;
    stream.next_out = out;
    stream.avail_out = sizeof out;
    ASSERT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    std::string withDictionary(reinterpret_cast<char*>(out), stream.total_out);
    deflateEnd(&stream);
    EXPECT_EQ(ZlibMessage(withDictionary), "need dictionary");
}

TEST(EZlib, LengthsWhoseBufferSizeWouldWrapAreRefused)
{
    // Nothing is read or allocated: the length alone is refused.
    const char byte = 0;
    EXPECT_THROW(CompressBuffer(&byte, CompressBufferLimit + 1), EZLibError);
    EXPECT_THROW(CompressBuffer(&byte, INT32_MAX - 100), EZLibError);
    EXPECT_THROW(CompressBuffer(&byte, -1), EZLibError);
    EXPECT_THROW(DecompressBuffer(&byte, -1), EZLibError);
}

TEST(ETarGZip, Crc32)
{
    EXPECT_EQ(Crc32Update("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(Crc32Update("", 0), 0u);
    EXPECT_EQ(Crc32Update(nullptr, 5), 0u);
}

TEST(ETarGZip, GzipImageLayout)
{
    std::string text = SampleText(3000);
    std::string image = GzipImage(text, "C:\\Work\\Reports\\CompressFiles.tgz");
    std::string zlibStream = CompressBuffer(text.data(), static_cast<int32_t>(text.size()));
    const std::string head("\x1F\x8B\x08\x08\0\0\0\0\0\0CompressFiles.tar\0", 28);
    ASSERT_EQ(image.substr(0, head.size()), head);
    // The raw deflate data is the zlib stream less 2 + 4 bytes.
    EXPECT_EQ(image.substr(head.size(), image.size() - head.size() - 8),
              zlibStream.substr(2, zlibStream.size() - 6));
    uint32_t crc = Crc32Update(text.data(), text.size());
    std::string trailer;
    for (uint32_t v : {crc, uint32_t(text.size())})
        for (int i = 0; i < 4; ++i)
            trailer.push_back(static_cast<char>(v >> (8 * i)));
    EXPECT_EQ(image.substr(image.size() - 8), trailer);
    EXPECT_EQ(Unpack(image), text);
}

TEST(ETarGZip, LoadGzipWithAndWithoutNameIgnoresTheTrailer)
{
    std::string text = SampleText(10000);
    std::string image = GzipImage(text, "x.tgz");
    // Without a name: FLG 0 and the name's bytes gone.
    std::string bare = image;
    bare[3] = 0;
    bare.erase(10, 6);
    EXPECT_EQ(Unpack(bare), text);
    // A wrong CRC-32 and size in the trailer.
    std::string wrong = image;
    for (size_t i = wrong.size() - 8; i < wrong.size(); ++i)
        wrong[i] = static_cast<char>(~wrong[i]);
    EXPECT_EQ(Unpack(wrong), text);
    // Empty content.
    EXPECT_EQ(Unpack(GzipImage("", "e.tgz")), "");
    // Reading starts at the stream's position and appends to the output's.
    std::string prefixed = "junk" + image;
    TOptionsReadStream input(prefixed.data(), prefixed.size());
    char skip[4];
    input.Read(skip, 4);
    TOptionsMemoryStream output("before:");
    LoadGzip(input, output);
    EXPECT_EQ(output.Bytes(), "before:" + text);
}

TEST(ETarGZip, LoadGzipRefusesShortImagesAndDamagedData)
{
    std::string image = GzipImage(SampleText(5000), "CompressFiles.tgz");
    auto refused = [](const std::string& bytes) {
        TOptionsReadStream input(bytes.data(), bytes.size());
        TOptionsMemoryStream output;
        try {
            LoadGzip(input, output);
        } catch (const EZLibError&) {
            return output.Bytes().empty();
        }
        return false;
    };
    // Shorter than the header.
    EXPECT_TRUE(refused(""));
    EXPECT_TRUE(refused(image.substr(0, 9)));
    // A name without its closing zero.
    EXPECT_TRUE(refused(image.substr(0, 20)));
    // Header and name, but fewer than 8 bytes behind them.
    EXPECT_TRUE(refused(image.substr(0, 28)));
    EXPECT_TRUE(refused(image.substr(0, 28 + 7)));
    std::string bare("\x1F\x8B\x08\0\0\0\0\0\0\0\0\0\0\0\0", 15);
    EXPECT_TRUE(refused(bare));
    // Deflate data cut short, and damaged.
    EXPECT_TRUE(refused(image.substr(0, image.size() - 100)));
    std::string damaged = image;
    damaged[40] ^= 0x5A;
    damaged[41] ^= 0xA5;
    EXPECT_TRUE(refused(damaged));
}

TEST(ETarGZip, OctalFields)
{
    char f12[12], f8[8];
    TarOctal12(f12, 0);
    EXPECT_EQ(std::string(f12, 12), "          0 ");
    TarOctal12(f12, 0xFFFFFFFFu);
    EXPECT_EQ(std::string(f12, 12), "37777777777 ");
    TarOctal12(f12, 513);
    EXPECT_EQ(std::string(f12, 12), "       1001 ");
    TarOctal8(f8, 0);
    EXPECT_EQ(std::string(f8, 8), std::string("     0 \0", 8));
    TarOctal8(f8, 4711);
    EXPECT_EQ(std::string(f8, 8), std::string(" 11147 \0", 8));
}

TEST(ETarGZip, TarTimes)
{
    EXPECT_EQ(TarTime(25569.0), 0u);
    // A whole second the day fraction holds only approximately.
    EXPECT_EQ(TarTime(EncodeDateTime(2023, 11, 14, 22, 13, 20)), 1700000000u);
    EXPECT_EQ(TarTime(EncodeDateTime(2023, 11, 14, 22, 13, 20, 999)), 1700000000u);
    // Unknown (0) and times before 1970: 0.
    EXPECT_EQ(TarTime(0), 0u);
    EXPECT_EQ(TarTime(EncodeDateTime(1969, 12, 31, 23, 59, 59)), 0u);
    EXPECT_EQ(TarTime(1e9), 0xFFFFFFFFu);
}

TEST(ETarGZip, HeaderBlock)
{
    std::string longName(120, 'n');
    longName[99] = 'L';
    std::string h = TarHeader(longName, 513, EncodeDateTime(2023, 11, 14, 22, 13, 20));
    ASSERT_EQ(h.size(), 512u);
    EXPECT_EQ(h.substr(0, 100), longName.substr(0, 100));
    EXPECT_EQ(h.substr(100, 24), std::string("     0 \0     0 \0     0 \0", 24));
    EXPECT_EQ(h.substr(124, 12), "       1001 ");
    EXPECT_EQ(h.substr(136, 12), "14524770400 ");
    EXPECT_EQ(h[156], '0');
    EXPECT_EQ(h.substr(157, 100), std::string(100, '\0'));
    EXPECT_EQ(h.substr(257, 8), "ustar   ");
    EXPECT_EQ(h.substr(265), std::string(247, '\0'));
    // The checksum: every byte with its own field counted as eight blanks.
    unsigned sum = 0;
    for (size_t i = 0; i < 512; ++i)
        sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(h[i]);
    char expected[8];
    TarOctal8(expected, sum);
    EXPECT_EQ(h.substr(148, 8), std::string(expected, 8));
}

TEST(ETarGZip, MembersTakeWholeBlocks)
{
    TTempFile archive("test_archives_blocks.tgz");
    std::string image;
    {
        TTGZWriter writer(archive.Name);
        for (size_t size : {512u, 513u, 0u}) {
            TOptionsMemoryStream stream(RandomBytes(size, static_cast<unsigned>(size)));
            writer.AddStream(stream, "m" + std::to_string(size), 25569.0);
        }
        // 512: header + 1; 513: header + 2; 0: the header alone.
        EXPECT_EQ(writer.TarImage().size(), 512u * (2 + 3 + 1));
        EXPECT_FALSE(FileExists(archive.Name)) << "written before the destructor";
    }
    image = Unpack(ReadFile(archive.Name));
    ASSERT_EQ(image.size(), 512u * 7);
    EXPECT_EQ(image.substr(512 * 6), std::string(512, '\0'));
    std::string data513 = RandomBytes(513, 513);
    EXPECT_EQ(image.substr(512 * 3, 513), data513);
    EXPECT_EQ(image.substr(512 * 3 + 513, 511), std::string(511, '\0'));
}

TEST(ETarGZip, TwoSmallMembersMakeFiveBlocks)
{
    TTempFile archive("test_archives_two.tgz");
    {
        TTGZWriter writer(archive.Name);
        TOptionsMemoryStream a("0123456789"), b("abcdefghijKLMNOP");
        char skip[6];
        b.Read(skip, 6); // from the stream's position on
        writer.AddStream(a, "a.txt", 25569.0);
        writer.AddStream(b, "b.txt", 25569.0);
    }
    std::string image = Unpack(ReadFile(archive.Name));
    ASSERT_EQ(image.size(), 2560u);
    EXPECT_EQ(image.substr(512, 10), "0123456789");
    EXPECT_EQ(image.substr(1536, 10), "ghijKLMNOP");
    EXPECT_EQ(image.substr(124, 12), "         12 ");
    EXPECT_EQ(image.substr(1024 + 124, 12), "         12 ");
}

TEST(ETarGZip, AddFileStoresTheNameAndTimeOfTheFile)
{
    TTempFile archive("test_archives_file.tgz");
    TTempFile member("test_archives_member.txt");
    WriteFile(member.Name, "member contents");
    {
        TTGZWriter writer(archive.Name);
        writer.AddFile(member.Name);
        writer.AddFile(member.Name, "folder/renamed.log");
        EXPECT_THROW(writer.AddFile("test_archives_missing.txt"), qov::EFOpenError);
    }
    std::string image = Unpack(ReadFile(archive.Name));
    ASSERT_EQ(image.size(), 512u * 5);
    EXPECT_EQ(image.substr(0, 25), std::string("test_archives_member.txt\0", 25));
    EXPECT_EQ(image.substr(1024, 12), std::string("renamed.log\0", 12));
    EXPECT_EQ(image.substr(512, 15), "member contents");
    // The member's time is the file's, give or take the test's own run.
    const uint32_t fileTime = TarTime(FileWriteTimeUtc(member.Name));
    EXPECT_GT(fileTime, 1600000000u);
    char field[12];
    TarOctal12(field, fileTime);
    EXPECT_EQ(image.substr(136, 12), std::string(field, 12));
    EXPECT_EQ(FileWriteTimeUtc("test_archives_missing.txt"), 0.0);
    EXPECT_EQ(FileWriteTimeUtc("."), 0.0);
}

TEST(ETarGZip, DestructorRaisesAWriteFailureUnlessUnwinding)
{
    const std::string path = "test_archives_no_such_folder/x.tgz";
    EXPECT_THROW({ TTGZWriter writer(path); }, qov::EFCreateError);
    // While another exception unwinds, the failure is dropped (no terminate).
    EXPECT_THROW(
        {
            TTGZWriter writer(path);
            throw std::runtime_error("unwinding");
        },
        std::runtime_error);
}
