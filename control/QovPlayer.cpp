// QovPlayer.ocx: the library's main unit. It holds the process-wide frame
// decoder state and exports the decoder by name (see QovPlayer.def):
// InitDecoder, UninitDecoder, LockOutputBuffer, UnlockOutputBuffer,
// UnZipBuffer, UnZipBufferEx, CheckQovFileHeader, Decompress and
// GetDecoderError. The engine and the control call them through the
// library's own exports (UnitShare.h), like any other program.
//
// The implementations carry the prefix Qov so that they never clash with the
// import thunks (InitDecoder@0...) that the engine links when it is part of
// this same library; the .def file gives them their exported names.
#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "UnitDecoder.h"
#include "UnitShare.h"

namespace {

using qov::decoder::kSharedOutputSize;

// The output lock: made when the library loads and kept until it unloads, so
// that the first use from any thread, even before InitDecoder, is safe. It
// also guards the reference count and the shared buffer, so the last
// UninitDecoder waits for a decode in progress before freeing the buffer.
CRITICAL_SECTION gOutputLock;
bool gLockReady = false;

int32_t gReferences = 0;             // never below 0
uint8_t* gSharedOutput = nullptr;    // kSharedOutputSize bytes, or nil
// The input stream the JPEG path reads payloads through, in place. It lives
// as long as the library (pointing at nothing while the count is 0), so even a
// call before InitDecoder has one; as it is one for the process, a direct
// caller of UnZipBuffer with a JPEG payload holds the output lock.
qov::TSuperMemoryStream gInput;

// Last failure of an UnZipBuffer or UnZipBufferEx call, per thread.
struct TDecoderFailure {
    int Class;
    char Text[512];
};
thread_local TDecoderFailure tFailure = {qov::decNone, {0}};

void ClearFailure()
{
    tFailure.Class = qov::decNone;
    tFailure.Text[0] = 0;
}

void SetFailure(int errorClass, const char* text)
{
    tFailure.Class = errorClass;
    std::strncpy(tFailure.Text, text ? text : "", sizeof(tFailure.Text) - 1);
    tFailure.Text[sizeof(tFailure.Text) - 1] = 0;
}

// Called inside a catch block: records the exception being handled for
// GetDecoderError and gives the export's failure result.
int RecordFailure() noexcept
{
    try {
        throw;
    } catch (const qov::EJPEG& e) {
        SetFailure(qov::decJPEG, e.what());
    } catch (const qov::EDecompressionError& e) {
        SetFailure(qov::decDecompression, e.what());
    } catch (const qov::EZlibError& e) {
        SetFailure(qov::decZlib, e.what());
    } catch (const std::bad_alloc&) {
        SetFailure(qov::decGeneral, "Out of memory");
    } catch (const std::exception& e) {
        SetFailure(qov::decGeneral, e.what());
    } catch (...) {
        SetFailure(qov::decGeneral, "Unknown failure in the frame decoder");
    }
    return qov::kDecodeFailed;
}

// The shared buffer is whole pages of its own, returned to the system when
// the last reference goes.
void FreeSharedOutput()
{
    if (gSharedOutput)
        VirtualFree(gSharedOutput, 0, MEM_RELEASE);
    gSharedOutput = nullptr;
}

bool HoldsOutputLock()
{
    return gOutputLock.OwningThread == reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId()));
}

} // namespace

extern "C" {

BOOL __stdcall QovInitDecoder()
{
    BOOL result = FALSE;
    EnterCriticalSection(&gOutputLock);
    if (gReferences < INT32_MAX) {
        ++gReferences;
        result = TRUE;
    }
    LeaveCriticalSection(&gOutputLock);
    return result;
}

BOOL __stdcall QovUninitDecoder()
{
    EnterCriticalSection(&gOutputLock);
    if (gReferences > 0 && --gReferences == 0) {
        FreeSharedOutput();
        gInput.SetPointer(nullptr, 0);
    }
    LeaveCriticalSection(&gOutputLock);
    return TRUE;
}

void __stdcall QovLockOutputBuffer()
{
    EnterCriticalSection(&gOutputLock);
}

// Leaving a critical section that the thread does not hold would break it for
// every other thread; such a call does nothing.
void __stdcall QovUnlockOutputBuffer()
{
    if (HoldsOutputLock())
        LeaveCriticalSection(&gOutputLock);
}

int __stdcall QovUnZipBuffer(const void* data, uint32_t size, uint16_t compressType, void* outBuf,
                             uint32_t outSize)
{
    ClearFailure();
    try {
        return qov::decoder::UnZipBuffer(gInput, data, size, compressType, outBuf, outSize);
    } catch (...) {
        return RecordFailure();
    }
}

int __stdcall QovUnZipBufferEx(const void* data, uint32_t size, uint16_t compressType, void** outBuf,
                               uint32_t outSize)
{
    ClearFailure();
    if (!data || size == 0)
        return 0;
    if (!outBuf) {
        SetFailure(qov::decGeneral, "输出缓冲区太小");
        return qov::kDecodeFailed;
    }
    int result;
    EnterCriticalSection(&gOutputLock);
    try {
        if (!*outBuf) {
            if (!gSharedOutput) {
                gSharedOutput = static_cast<uint8_t*>(
                    VirtualAlloc(nullptr, kSharedOutputSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
                if (!gSharedOutput)
                    throw qov::EOutOfMemory("Out of memory");
            }
            *outBuf = gSharedOutput;
            outSize = kSharedOutputSize;
        }
        result = qov::decoder::UnZipBuffer(gInput, data, size, compressType, *outBuf, outSize);
    } catch (...) {
        result = RecordFailure();
    }
    LeaveCriticalSection(&gOutputLock);
    return result;
}

BOOL __stdcall QovCheckQovFileHeader(const void* header)
{
    const auto* b = static_cast<const uint8_t*>(header);
    return b && b[0] == 0x41 && b[1] == 0x56;
}

// The block's output is bounded by the largest buffer any caller passes.
int __stdcall QovDecompress(const void* src, uint32_t srcLen, void* dst)
{
    try {
        return qov::decoder::Decompress(src, srcLen, dst, kSharedOutputSize);
    } catch (...) {
        return -1;
    }
}

int __stdcall QovGetDecoderError(char* text, uint32_t size)
{
    if (text && size > 0) {
        const size_t length = std::min<size_t>(std::strlen(tFailure.Text), size - 1);
        std::memcpy(text, tFailure.Text, length);
        text[length] = 0;
    }
    return tFailure.Class;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        InitializeCriticalSection(&gOutputLock);
        gLockReady = true;
        break;
    case DLL_PROCESS_DETACH:
        // At process exit (reserved != nil) other threads may be gone while
        // holding the lock: leave everything to the system.
        if (!reserved && gLockReady) {
            FreeSharedOutput();
            DeleteCriticalSection(&gOutputLock);
            gLockReady = false;
        }
        break;
    default:
        break;
    }
    return TRUE;
}

} // extern "C"
