// The frame decoder as the engine and the control see it: the eight functions
// that QovPlayer.ocx exports, bound by name to the library's own exports (the
// library imports them from its own file), plus the decoder's error report.
//
// Calling convention for every caller, inside or outside the system:
//   __stdcall, exported under the undecorated names below.
//   Booleans are 32-bit values, 1 for true and 0 for false (a caller that reads
//   only the low byte sees the same answer).
//   Sizes are unsigned 32-bit, results signed 32-bit.
//   No C++ exception leaves an export. UnZipBuffer and UnZipBufferEx return
//   -1 for a damaged LZO1X block (as Decompress does) and kDecodeFailed (-2)
//   when decoding raised a failure; GetDecoderError then tells its class and
//   message for the calling thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "SysUtils.h"

extern "C" {
__declspec(dllimport) BOOL __stdcall InitDecoder();
__declspec(dllimport) BOOL __stdcall UninitDecoder();
__declspec(dllimport) void __stdcall LockOutputBuffer();
__declspec(dllimport) void __stdcall UnlockOutputBuffer();
__declspec(dllimport) int __stdcall UnZipBuffer(const void* data, uint32_t size, uint16_t compressType,
                                                void* outBuf, uint32_t outSize);
__declspec(dllimport) int __stdcall UnZipBufferEx(const void* data, uint32_t size, uint16_t compressType,
                                                  void** outBuf, uint32_t outSize);
__declspec(dllimport) BOOL __stdcall CheckQovFileHeader(const void* header);
__declspec(dllimport) int __stdcall Decompress(const void* src, uint32_t srcLen, void* dst);
// Class of the last failure on this thread (DecoderErrorClass) and its message
// copied into text (at most size bytes, 0-terminated); returns the class.
__declspec(dllimport) int __stdcall GetDecoderError(char* text, uint32_t size);
}

namespace qov {

constexpr int kDecodeFailed = -2;

enum DecoderErrorClass : int {
    decNone = 0,
    decGeneral = 1,         // "输出缓冲区太小", "不支持这种图象压缩格式!" and other plain failures
    decJPEG = 2,            // EJPEG
    decZlib = 3,            // EZlibError
    decDecompression = 4,   // EDecompressionError
};

// The decoder's failures, raised again in the caller's own module.
class EDecoder : public Exception { using Exception::Exception; };
class EJPEGFailure : public EDecoder { using EDecoder::EDecoder; };
class EZlibFailure : public EDecoder { using EDecoder::EDecoder; };
class EDecompressionFailure : public EZlibFailure { using EZlibFailure::EZlibFailure; };

// Reads this thread's decoder failure and raises it as one of the classes above.
[[noreturn]] void RaiseDecoderError();

// UnZipBuffer / UnZipBufferEx through the exports, raising the decoder's
// failures here instead of returning kDecodeFailed. -1 (damaged LZO1X block)
// is returned unchanged.
int DecodePayload(const void* data, uint32_t size, uint16_t compressType, void* outBuf, uint32_t outSize);
int DecodePayloadEx(const void* data, uint32_t size, uint16_t compressType, void** outBuf, uint32_t outSize);

// Holds the decoder's output lock for a scope.
class TOutputLock {
public:
    TOutputLock() { LockOutputBuffer(); }
    ~TOutputLock() { UnlockOutputBuffer(); }
    TOutputLock(const TOutputLock&) = delete;
    TOutputLock& operator=(const TOutputLock&) = delete;
};

} // namespace qov
