#include "EBase64.h"

#include <array>
#include <cstring>

#include "SysUtils.h"

namespace qov::exceptions {

namespace {

const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char Pad = '=';
const uint8_t NotBase64 = 255;

// The 6-bit value of every byte: all 256 of them, so that no character of
// the text can index past the table; NotBase64 for those outside the alphabet.
const std::array<uint8_t, 256> DecodeTable = [] {
    std::array<uint8_t, 256> table;
    table.fill(NotBase64);
    for (uint8_t i = 0; i < 64; ++i)
        table[static_cast<uint8_t>(Alphabet[i])] = i;
    return table;
}();

// The two characters of every 12-bit value, so that each group of 3 bytes
// takes two look-ups.
const std::array<char[2], 4096> PairTable = [] {
    std::array<char[2], 4096> table;
    for (int i = 0; i < 4096; ++i) {
        table[i][0] = Alphabet[i >> 6];
        table[i][1] = Alphabet[i & 63];
    }
    return table;
}();

} // namespace

uint64_t Base64EncodedSize(uint64_t n)
{
    return (n / 3 + (n % 3 ? 1 : 0)) * 4;
}

size_t Base64DecodedSize(const std::string& text)
{
    size_t m = text.size();
    if (m == 0 || m % 4 != 0)
        return 0;
    size_t size = m / 4 * 3;
    if (text[m - 2] == Pad)
        return size - 2;
    if (text[m - 1] == Pad)
        return size - 1;
    return size;
}

std::string Base64EncodeBuffer(const void* buffer, size_t length)
{
    uint64_t size = Base64EncodedSize(length);
    std::string result;
    if (size > result.max_size())
        throw EOutOfMemory(Format("Base64 text of %llu bytes is too large",
                                  static_cast<unsigned long long>(length)));
    result.resize(static_cast<size_t>(size));
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    char* out = result.data();
    size_t whole = length - length % 3;
    for (size_t i = 0; i < whole; i += 3, out += 4) {
        uint32_t group = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8 | in[i + 2];
        std::memcpy(out, PairTable[group >> 12], 2);
        std::memcpy(out + 2, PairTable[group & 4095], 2);
    }
    if (length > whole) {
        uint32_t group = uint32_t(in[whole]) << 16;
        if (length - whole == 2)
            group |= uint32_t(in[whole + 1]) << 8;
        out[0] = Alphabet[group >> 18];
        out[1] = Alphabet[(group >> 12) & 63];
        out[2] = length - whole == 2 ? Alphabet[(group >> 6) & 63] : Pad;
        out[3] = Pad;
    }
    return result;
}

std::string Base64EncodeText(const std::string& text)
{
    return Base64EncodeBuffer(text.data(), text.size());
}

std::string Base64DecodeText(const std::string& text)
{
    size_t size = Base64DecodedSize(text);
    if (size == 0)
        return std::string();
    // Pad characters may stand only in the last two places, the third one
    // only when the fourth is one too.
    size_t m = text.size();
    size_t pads = size_t(text[m - 1] == Pad) + size_t(text[m - 1] == Pad && text[m - 2] == Pad);
    std::string result(size, '.');
    const uint8_t* in = reinterpret_cast<const uint8_t*>(text.data());
    char* out = result.data();
    for (size_t i = 0; i < m; i += 4) {
        bool last = i + 4 == m;
        uint8_t c0 = DecodeTable[in[i]], c1 = DecodeTable[in[i + 1]];
        uint8_t c2 = last && pads == 2 ? 0 : DecodeTable[in[i + 2]];
        uint8_t c3 = last && pads >= 1 ? 0 : DecodeTable[in[i + 3]];
        if ((c0 | c1 | c2 | c3) & 0xC0) // a NotBase64 among them
            return std::string();
        uint32_t group = uint32_t(c0) << 18 | uint32_t(c1) << 12 | uint32_t(c2) << 6 | c3;
        *out++ = static_cast<char>(group >> 16);
        if (!last || pads < 2)
            *out++ = static_cast<char>(group >> 8);
        if (!last || pads < 1)
            *out++ = static_cast<char>(group);
    }
    return result;
}

} // namespace qov::exceptions
