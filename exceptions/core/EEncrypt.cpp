#include "EEncrypt.h"

#include <cstring>

namespace qov::exceptions {

namespace {

inline uint32_t LoadLE(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void StoreLE(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

inline uint32_t LoadBE(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

inline void StoreBE(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

inline uint32_t Rotl(uint32_t v, int n)
{
    return (v << n) | (v >> (32 - n));
}

// The 64 step constants: floor(abs(sin(i + 1)) * 2^32).
const uint32_t Md5Steps[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Rotation amounts, four per round.
const int Md5Shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// One 64-byte block into the four chaining words. Each round is a loop of
// its own so that the compiler unrolls it with constant word indexes.
void Md5Block(uint32_t state[4], const uint8_t* block)
{
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = LoadLE(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    auto step = [&](uint32_t f, int i, int g) {
        uint32_t next = b + Rotl(a + f + Md5Steps[i] + x[g], Md5Shifts[i >> 4][i & 3]);
        a = d;
        d = c;
        c = b;
        b = next;
    };
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i)
        step(d ^ (b & (c ^ d)), i, i);
#pragma GCC unroll 16
    for (int i = 16; i < 32; ++i)
        step(c ^ (d & (b ^ c)), i, (5 * i + 1) & 15);
#pragma GCC unroll 16
    for (int i = 32; i < 48; ++i)
        step(b ^ c ^ d, i, (3 * i + 5) & 15);
#pragma GCC unroll 16
    for (int i = 48; i < 64; ++i)
        step(c ^ (b | ~d), i, (7 * i) & 15);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

// The process-wide key (k0..k3).
uint32_t TeaKey[4];

const uint32_t TeaDelta = 0x9E3779B9;
const int TeaRounds = 32;

void XorInto(uint8_t* destination, const uint8_t* a, const uint8_t* b, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        destination[i] = a[i] ^ b[i];
}

// The tail rule shared by both directions: the last length mod 8 bytes are
// xored with the enciphered chain.
void ChainTail(const uint8_t* source, uint8_t* destination, uint32_t length, uint8_t chain[8])
{
    uint32_t tail = length % 8;
    if (tail == 0)
        return;
    TeaEncryptBlock(chain, chain);
    uint32_t at = length - tail;
    XorInto(destination + at, source + at, chain, tail);
}

} // namespace

void Md5Digest(uint8_t output[16], const void* data, uint32_t length)
{
    uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    uint32_t whole = length & ~uint32_t(63);
    for (uint32_t at = 0; at < whole; at += 64)
        Md5Block(state, bytes + at);

    // The rest, the 0x80 marker, zeros and the bit count in one or two blocks.
    uint8_t buffer[128] = {};
    uint32_t rest = length - whole;
    if (rest)
        std::memcpy(buffer, bytes + whole, rest);
    buffer[rest] = 0x80;
    uint32_t used = rest + 1 + 8 <= 64 ? 64 : 128;
    uint64_t bits = uint64_t(length) * 8;
    StoreLE(buffer + used - 8, uint32_t(bits));
    StoreLE(buffer + used - 4, uint32_t(bits >> 32));
    for (uint32_t at = 0; at < used; at += 64)
        Md5Block(state, buffer + at);
    std::memset(buffer, 0, sizeof buffer);

    for (int i = 0; i < 4; ++i)
        StoreLE(output + 4 * i, state[i]);
}

TMd5Digest Md5Digest(const void* data, uint32_t length)
{
    TMd5Digest digest;
    Md5Digest(digest.data(), data, length);
    return digest;
}

void SetTeaKey(const std::string& passPhrase)
{
    TMd5Digest digest = Md5Digest(passPhrase.data(), static_cast<uint32_t>(passPhrase.size()));
    for (int i = 0; i < 4; ++i)
        TeaKey[i] = LoadBE(digest.data() + 4 * i);
}

void TeaEncryptBlock(const void* source, void* destination)
{
    const uint8_t* in = static_cast<const uint8_t*>(source);
    uint32_t l = LoadBE(in), r = LoadBE(in + 4);
    const uint32_t k0 = TeaKey[0], k1 = TeaKey[1], k2 = TeaKey[2], k3 = TeaKey[3];
    uint32_t sum = 0;
    for (int i = 0; i < TeaRounds; ++i) {
        sum += TeaDelta;
        l += (r << 4) + (r ^ k0) + ((r >> 5) ^ sum) + k1;
        r += (l << 4) + (l ^ k2) + ((l >> 5) ^ sum) + k3;
    }
    uint8_t* out = static_cast<uint8_t*>(destination);
    StoreBE(out, l);
    StoreBE(out + 4, r);
}

void TeaDecryptBlock(const void* source, void* destination)
{
    const uint8_t* in = static_cast<const uint8_t*>(source);
    uint32_t l = LoadBE(in), r = LoadBE(in + 4);
    const uint32_t k0 = TeaKey[0], k1 = TeaKey[1], k2 = TeaKey[2], k3 = TeaKey[3];
    uint32_t sum = TeaDelta * TeaRounds;
    for (int i = 0; i < TeaRounds; ++i) {
        r -= (l << 4) + (l ^ k2) + ((l >> 5) ^ sum) + k3;
        l -= (r << 4) + (r ^ k0) + ((r >> 5) ^ sum) + k1;
        sum -= TeaDelta;
    }
    uint8_t* out = static_cast<uint8_t*>(destination);
    StoreBE(out, l);
    StoreBE(out + 4, r);
}

std::array<uint8_t, 8> TeaStartVector()
{
    // The bytes of the cipher's delta, each raised by a multiple of 0x35.
    std::array<uint8_t, 8> vector;
    for (unsigned i = 0; i < vector.size(); ++i)
        vector[i] = static_cast<uint8_t>((TeaDelta >> ((i & 3) * 8)) + i * 0x35);
    return vector;
}

void DecryptBuffer(const void* source, void* destination, uint32_t length)
{
    const uint8_t* in = static_cast<const uint8_t*>(source);
    uint8_t* out = static_cast<uint8_t*>(destination);
    std::array<uint8_t, 8> chain = TeaStartVector();
    uint32_t whole = length & ~uint32_t(7);
    for (uint32_t at = 0; at < whole; at += 8) {
        uint8_t cipher[8], plain[8];
        std::memcpy(cipher, in + at, 8);
        TeaDecryptBlock(cipher, plain);
        XorInto(out + at, plain, chain.data(), 8);
        std::memcpy(chain.data(), cipher, 8);
    }
    ChainTail(in, out, length, chain.data());
}

void EncryptBuffer(const void* source, void* destination, uint32_t length)
{
    const uint8_t* in = static_cast<const uint8_t*>(source);
    uint8_t* out = static_cast<uint8_t*>(destination);
    std::array<uint8_t, 8> chain = TeaStartVector();
    uint32_t whole = length & ~uint32_t(7);
    for (uint32_t at = 0; at < whole; at += 8) {
        XorInto(chain.data(), in + at, chain.data(), 8);
        TeaEncryptBlock(chain.data(), chain.data());
        std::memcpy(out + at, chain.data(), 8);
    }
    ChainTail(in, out, length, chain.data());
}

} // namespace qov::exceptions
