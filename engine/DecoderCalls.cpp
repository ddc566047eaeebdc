// The engine's side of the frame decoder: calls through QovPlayer.ocx's
// exports and raises the decoder's failures again in this module.
#include "UnitShare.h"

namespace qov {

void RaiseDecoderError()
{
    char text[512];
    text[0] = 0;
    const int errorClass = GetDecoderError(text, sizeof(text));
    switch (errorClass) {
    case decJPEG:
        throw EJPEGFailure(text);
    case decZlib:
        throw EZlibFailure(text);
    case decDecompression:
        throw EDecompressionFailure(text);
    case decGeneral:
        throw EDecoder(text);
    default:
        throw EDecoder("Frame decoder failed");
    }
}

int DecodePayload(const void* data, uint32_t size, uint16_t compressType, void* outBuf, uint32_t outSize)
{
    const int result = UnZipBuffer(data, size, compressType, outBuf, outSize);
    if (result == kDecodeFailed)
        RaiseDecoderError();
    return result;
}

int DecodePayloadEx(const void* data, uint32_t size, uint16_t compressType, void** outBuf, uint32_t outSize)
{
    const int result = UnZipBufferEx(data, size, compressType, outBuf, outSize);
    if (result == kDecodeFailed)
        RaiseDecoderError();
    return result;
}

} // namespace qov
