// Codecs of the exception-reporting library: MD5, the TEA-family cipher with
// its chained decryption, and Base64. Python's own modules check the same
// units on random data (codecs_check.py).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "EBase64.h"
#include "EEncrypt.h"

using namespace qov::exceptions;

namespace {

std::string Hex(const uint8_t* bytes, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 15]);
    }
    return text;
}

std::string Md5Hex(const std::string& text)
{
    TMd5Digest digest = Md5Digest(text.data(), static_cast<uint32_t>(text.size()));
    return Hex(digest.data(), digest.size());
}

std::vector<uint8_t> RandomBytes(std::mt19937& random, size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(random());
    return bytes;
}

std::array<uint8_t, 8> Xor(const uint8_t* a, const uint8_t* b)
{
    std::array<uint8_t, 8> out;
    for (int i = 0; i < 8; ++i)
        out[i] = a[i] ^ b[i];
    return out;
}

} // namespace

TEST(EEncrypt, Md5ReproducesTheRfc1321Suite)
{
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(EEncrypt, Md5PaddingAtBlockEdges)
{
    // 55 bytes leave room for the bit count in one block, 56 do not.
    EXPECT_EQ(Md5Hex(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(Md5Hex(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(Md5Hex(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
    EXPECT_EQ(Md5Hex(std::string(65, 'a')), "c743a45e0d2e6a95cb859adae0248435");
}

TEST(EEncrypt, KeyIsTheDigestInBigEndianWords)
{
    // The block from the independent reference of codecs_check.py; a key read
    // in little-endian words, or the published TEA mixing, gives another.
    SetTeaKey("password");
    uint8_t block[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    TeaEncryptBlock(block, block);
    EXPECT_EQ(Hex(block, 8), "41d2b1ed7935c56c");
}

TEST(EEncrypt, BlockDecryptionUndoesEncryptionInPlaceAndApart)
{
    std::mt19937 random(7);
    for (int round = 0; round < 50; ++round) {
        SetTeaKey(std::string(round, static_cast<char>('a' + round % 26)));
        std::vector<uint8_t> plain = RandomBytes(random, 8);
        uint8_t cipher[8], back[8];
        TeaEncryptBlock(plain.data(), cipher);
        EXPECT_NE(std::memcmp(cipher, plain.data(), 8), 0);
        TeaDecryptBlock(cipher, back);
        EXPECT_EQ(std::memcmp(back, plain.data(), 8), 0);
        TeaEncryptBlock(back, back);
        EXPECT_EQ(std::memcmp(back, cipher, 8), 0);
        TeaDecryptBlock(back, back);
        EXPECT_EQ(std::memcmp(back, plain.data(), 8), 0);
    }
}

TEST(EEncrypt, EncryptThenDecryptBufferForLengthsUpTo40)
{
    SetTeaKey("Zephra");
    std::mt19937 random(11);
    for (uint32_t length = 0; length <= 40; ++length) {
        SCOPED_TRACE(length);
        std::vector<uint8_t> plain = RandomBytes(random, length);
        std::vector<uint8_t> cipher(length), back(length);
        EncryptBuffer(plain.data(), cipher.data(), length);
        if (length >= 4) {
            EXPECT_NE(cipher, plain);
        }
        DecryptBuffer(cipher.data(), back.data(), length);
        EXPECT_EQ(back, plain);
        // The same buffer as source and destination, both ways.
        std::vector<uint8_t> inPlace = plain;
        EncryptBuffer(inPlace.data(), inPlace.data(), length);
        EXPECT_EQ(inPlace, cipher);
        DecryptBuffer(inPlace.data(), inPlace.data(), length);
        EXPECT_EQ(inPlace, plain);
    }
}

TEST(EEncrypt, DecryptBufferRules)
{
    SetTeaKey("rules");
    std::mt19937 random(3);
    const std::array<uint8_t, 8> start = TeaStartVector();
    uint8_t startEnciphered[8];
    TeaEncryptBlock(start.data(), startEnciphered);
    std::vector<uint8_t> source = RandomBytes(random, 21);
    std::vector<uint8_t> out(21);

    // 5 bytes: the tail rule alone, on the enciphered start vector.
    DecryptBuffer(source.data(), out.data(), 5);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(out[i], source[i] ^ startEnciphered[i]) << i;

    // 16 bytes: the chained rule alone.
    uint8_t p0[8], p1[8];
    TeaDecryptBlock(source.data(), p0);
    TeaDecryptBlock(source.data() + 8, p1);
    DecryptBuffer(source.data(), out.data(), 16);
    EXPECT_EQ(Xor(p0, start.data()), (std::array<uint8_t, 8>{out[0], out[1], out[2], out[3], out[4],
                                                            out[5], out[6], out[7]}));
    auto second = Xor(p1, source.data());
    EXPECT_EQ(std::memcmp(second.data(), out.data() + 8, 8), 0);

    // 21 bytes: both; the tail on the last whole ciphertext block enciphered.
    std::vector<uint8_t> both(21);
    DecryptBuffer(source.data(), both.data(), 21);
    EXPECT_EQ(std::memcmp(both.data(), out.data(), 16), 0);
    uint8_t lastEnciphered[8];
    TeaEncryptBlock(source.data() + 8, lastEnciphered);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(both[16 + i], source[16 + i] ^ lastEnciphered[i]) << i;
}

TEST(EEncrypt, StartVectorIsFixed)
{
    EXPECT_EQ(Hex(TeaStartVector().data(), 8), "b9aea13d8d827511");
}

TEST(EBase64, Rfc4648Vectors)
{
    const char* const vectors[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                      {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                                      {"foobar", "Zm9vYmFy"}};
    for (const auto& v : vectors) {
        EXPECT_EQ(Base64EncodeText(v[0]), v[1]);
        EXPECT_EQ(Base64DecodeText(v[1]), v[0]);
        EXPECT_EQ(Base64EncodedSize(std::strlen(v[0])), std::strlen(v[1]));
        EXPECT_EQ(Base64DecodedSize(v[1]), std::strlen(v[0]));
    }
}

TEST(EBase64, LongTextsHaveNoLineBreaksAndEveryByteSurvives)
{
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    all += all;
    std::string text = Base64EncodeBuffer(all.data(), all.size());
    EXPECT_EQ(text.size(), Base64EncodedSize(all.size()));
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(Base64DecodeText(text), all);
}

TEST(EBase64, SizeFunctions)
{
    EXPECT_EQ(Base64EncodedSize(0), 0u);
    EXPECT_EQ(Base64EncodedSize(1), 4u);
    EXPECT_EQ(Base64EncodedSize(3), 4u);
    EXPECT_EQ(Base64EncodedSize(4), 8u);
    EXPECT_EQ(Base64EncodedSize(0xFFFFFFFFull), 5726623060ull);
    EXPECT_EQ(Base64DecodedSize(""), 0u);
    EXPECT_EQ(Base64DecodedSize("Zm9vY"), 0u);
    EXPECT_EQ(Base64DecodedSize("Zm9vYg=="), 4u);
    EXPECT_EQ(Base64DecodedSize("Zm9vYmE="), 5u);
}

TEST(EBase64, TextThatIsNotBase64DecodesToNothing)
{
    // Length not a multiple of 4.
    EXPECT_EQ(Base64DecodeText("Zm9vY"), "");
    // Bytes of 128 and above (once past the end of a 128-entry table).
    EXPECT_EQ(Base64DecodeText("Zm\xC3\xA9"), "");
    EXPECT_EQ(Base64DecodeText(std::string("\xFF\x80\x90\xFE")), "");
    // Characters outside the alphabet, below 128.
    EXPECT_EQ(Base64DecodeText("Zm9v Zm9v"), "");
    EXPECT_EQ(Base64DecodeText("Zm-v"), "");
    EXPECT_EQ(Base64DecodeText(std::string("Zm\0v", 4)), "");
    EXPECT_EQ(Base64DecodeText("Zm9v\r\nZm9v"), "");
    // Pad characters anywhere but the last one or two places.
    EXPECT_EQ(Base64DecodeText("Zg==Zm9v"), "");
    EXPECT_EQ(Base64DecodeText("Zm=v"), "");
    EXPECT_EQ(Base64DecodeText("Z==="), "");
    EXPECT_EQ(Base64DecodeText("===="), "");
    EXPECT_EQ(Base64DecodeText("=m9v"), "");
    // Still accepted: the last group with one or two pads.
    EXPECT_EQ(Base64DecodeText("Zm9vYg=="), "foob");
    EXPECT_EQ(Base64DecodeText("Zm9vYmE="), "fooba");
}
