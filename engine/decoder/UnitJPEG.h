// JPEG glue of the frame decoder: the error manager that turns libjpeg's fatal
// errors into EJPEG, the in-place memory stream the decoder reads payloads
// from, and the two steps of a JPEG decode (header, then pixels into a DIB).
#pragma once

#include <cstddef>
#include <cstdint>

#include "SysUtils.h"

namespace qov {

// A picture that cannot be read.
class EInvalidGraphic : public Exception { using Exception::Exception; };
// A failure inside the JPEG library: "JPEG error #<message code>".
class EJPEG : public EInvalidGraphic { using EInvalidGraphic::EInvalidGraphic; };

// A read-only memory stream over memory that someone else owns.
class TCustomMemoryStream {
public:
    virtual ~TCustomMemoryStream() = default;

    // Copies up to count bytes from the current position; returns the count read.
    uint32_t Read(void* buffer, uint32_t count);
    // Moves to an absolute position, clamped to the size.
    void Seek(uint32_t position) { FPosition = position < FSize ? position : FSize; }
    // Takes up to count bytes in place: *data points at them, the position
    // moves past them; returns the count taken.
    uint32_t Take(const uint8_t** data, uint32_t count);

    const void* Memory() const { return FMemory; }
    uint32_t Size() const { return FSize; }
    uint32_t Position() const { return FPosition; }

protected:
    void SetPointer(const void* memory, uint32_t size)
    {
        FMemory = static_cast<const uint8_t*>(memory);
        FSize = memory ? size : 0;
        FPosition = 0;
    }

private:
    const uint8_t* FMemory = nullptr;
    uint32_t FSize = 0;
    uint32_t FPosition = 0;
};

class TMemoryStream : public TCustomMemoryStream {};

// The decoder's input stream: reads the caller's memory in place, without
// copying or owning it.
class TSuperMemoryStream : public TMemoryStream {
public:
    using TCustomMemoryStream::SetPointer;
};

// What the JPEG header tells about the picture.
struct JpegHeaderInfo {
    uint32_t Width = 0;
    uint32_t Height = 0;
    int Components = 0;
};

// Reads the header of the JPEG at the stream's position (an image is
// required). Raises EJPEG on any failure.
JpegHeaderInfo ReadJpegHeader(TCustomMemoryStream& stream);

// Decodes the JPEG at the stream's position into 24-bit B,G,R rows: the first
// scanline goes to firstRow, each following one rowStep bytes earlier in
// memory. The picture must have the given width and height (as the header
// said). rowStep must be at least 3 × width. Raises EJPEG on any failure,
// including colour spaces that cannot become B,G,R (CMYK, YCCK).
void DecodeJpegToDib(TCustomMemoryStream& stream, uint8_t* firstRow, uint32_t rowStep, uint32_t width,
                     uint32_t height);

} // namespace qov
