// Digest and cipher of the exception-reporting library (unit EEncrypt): the
// MD5 message digest, a 64-bit block cipher of the TEA family with 32 rounds
// and a 128-bit key taken from the MD5 digest of a pass phrase, and chained
// decryption of whole buffers. The library only deciphers (password-protected
// debug data and option blocks, protected names of a stored report); the
// chained encryption beside it serves the build-time writer of that data and
// the tests. Pure logic: no Windows headers, built natively too.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace qov::exceptions {

using TMd5Digest = std::array<uint8_t, 16>;

// RFC 1321 MD5 of length bytes at data into output.
void Md5Digest(uint8_t output[16], const void* data, uint32_t length);
TMd5Digest Md5Digest(const void* data, uint32_t length);

// The process-wide key: the MD5 digest of the pass phrase's bytes read as
// four big-endian 32-bit words. Setting a key and using it must not overlap
// with another thread's use of the cipher.
void SetTeaKey(const std::string& passPhrase);

// One 8-byte block (two big-endian words) enciphered or deciphered with the
// current key; source and destination may be the same.
void TeaEncryptBlock(const void* source, void* destination);
void TeaDecryptBlock(const void* source, void* destination);

// The chain's start vector, the same for every call.
std::array<uint8_t, 8> TeaStartVector();

// Cipher-block-chaining decryption of length bytes from the start vector; a
// tail of length mod 8 bytes is the source xor the enciphered last whole
// ciphertext block (the enciphered start vector when there is none). Source
// and destination may be the same buffer; any length is accepted.
void DecryptBuffer(const void* source, void* destination, uint32_t length);
// The exact inverse of DecryptBuffer: chained encryption with the same tail.
void EncryptBuffer(const void* source, void* destination, uint32_t length);

} // namespace qov::exceptions
