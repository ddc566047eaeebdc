// Compression wrapper of the exception-reporting library (unit EZlib): a
// whole memory buffer deflated or inflated into a new, exactly sized buffer,
// and zlib's failures as EZLibError with zlib's own texts. Each call runs a
// zlib stream of its own from start to end. Pure logic: no Windows headers,
// built natively too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "SysUtils.h"

namespace qov::exceptions {

class EZLibError : public ::qov::Exception { using Exception::Exception; };

// zlib's text for a result code from 2 ("need dictionary") down to -7; empty
// for 0, -7 and codes outside that range.
const char* ZLibErrorText(int code);
// The code itself when it is 0 or more; raises EZLibError with its text when
// it is negative.
int ZLibCheck(int code);

// The output buffer a deflate of n bytes starts with: n + n/10 + 267 rounded
// down to a multiple of 256; it grows by 256 bytes while deflate needs more.
int32_t CompressStartSize(int32_t n);
// The step an inflate of n bytes starts with and grows by: n rounded up to a
// multiple of 256 (at least 256).
int32_t DecompressStep(int32_t n);
// The largest input CompressBuffer takes: its start size must not pass the
// 32-bit length of a buffer.
constexpr int32_t CompressBufferLimit = static_cast<int32_t>((int64_t(INT32_MAX) - 267) * 10 / 11);

// A zlib-format stream (header, deflate data at level 9, Adler-32) of length
// bytes. A negative length or one above CompressBufferLimit raises EZLibError.
std::string CompressBuffer(const void* buffer, int32_t length);
// The inflated bytes of a zlib-format stream. A stream that is damaged, cut
// short or asks for a dictionary raises EZLibError, as does output that would
// pass 2 GiB; nothing partial is returned.
std::string DecompressBuffer(const void* buffer, int32_t length);
// The same for raw deflate data (no zlib header or checksum), as a gzip
// member holds it.
std::string InflateRawBuffer(const void* buffer, int32_t length);

} // namespace qov::exceptions
