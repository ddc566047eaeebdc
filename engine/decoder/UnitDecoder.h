// The frame decoder's core: turns a frame payload of any compression type into
// a DecodedFrame (a complete BMP file image) in the caller's buffer, and checks
// such an image before anyone trusts its header. Pure logic; QovPlayer.ocx
// exports it, adding the process-wide state and the output lock.
#pragma once

#include <cstdint>
#include <string>

#include "SysUtils.h"
#include "UnitJPEG.h"

namespace qov {

// zlib failures, as the class library's zlib unit names them.
class EZlibError : public Exception { using Exception::Exception; };
class EDecompressionError : public EZlibError { using EZlibError::EZlibError; };

namespace decoder {

// Size of the process-wide output buffer; also the largest output the plain
// LZO1X entry point (which is given no output size) will write.
constexpr uint32_t kSharedOutputSize = 0xA00000;

// File header (14) + information header (40) of a DecodedFrame.
constexpr uint32_t kBmpHeadersSize = 54;

// Decompresses one LZO1X block from src into dst, which holds dstCapacity
// bytes. Returns the number of bytes written, or -1 when the block is damaged:
// its end-of-stream marker does not end exactly at src + srcLen, it refers
// before the output or it would not fit dstCapacity (outputTooSmall, when
// given, then tells that last case apart). Never reads past srcLen nor
// writes past dstCapacity.
int Decompress(const void* src, uint32_t srcLen, void* dst, uint32_t dstCapacity,
               bool* outputTooSmall = nullptr);

// Decodes one payload into outBuf (outSize bytes) and returns the length of
// the DecodedFrame; 0 for no data; -1 for a damaged LZO1X block. The JPEG path
// reads the payload in place through input. Nothing is ever written past
// outSize; a result that would not fit raises before the output is touched
// (for LZO1X, once the block is found not to fit). Raises:
//  - Exception "输出缓冲区太小": the picture does not fit outSize;
//  - Exception "不支持这种图象压缩格式!": a compression type other than 0 to 3;
//  - EJPEG "JPEG error #n": the JPEG library failed (damaged data, CMYK...);
//  - EZlibError "ZLib error: target buffer may be too small": the zlib stream
//    does not end within outSize bytes; EZlibError also when the inflated
//    bytes are not an image whose size field fits in them;
//  - EDecompressionError "Error": a failing zlib call (damaged stream).
int UnZipBuffer(TSuperMemoryStream& input, const void* data, uint32_t size, uint16_t compressType,
                void* outBuf, uint32_t outSize);

// True when the first length bytes at image hold a BMP file image whose
// headers later stages may trust: "BM", file size within length, a 40-byte
// (or larger) information header, width > 0, height not 0, one plane, 1, 4,
// 8, 16, 24 or 32 bits, no compression (bit fields for 16 and 32 bits), the
// colour table and the pixel rows within the file size. Otherwise false, with
// the reason in *why when why is given.
bool CheckDecodedFrame(const void* image, uint32_t length, std::string* why);

} // namespace decoder
} // namespace qov
