#include "UnitDecoder.h"

#include <climits>
#include <cstring>

#include <lzo/lzo1x.h>
#include <zlib.h>

#include "QovFormat.h"

namespace qov::decoder {

namespace {

const char kOutputTooSmall[] = "输出缓冲区太小";
const char kUnsupportedType[] = "不支持这种图象压缩格式!";
const char kZlibTooSmall[] = "ZLib error: target buffer may be too small";
const char kZlibError[] = "Error";

uint16_t Get16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

uint32_t Get32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void Put16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void Put32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

bool LzoReady()
{
    static const bool ready = lzo_init() == LZO_E_OK;
    return ready;
}

int DecodeJpeg(TSuperMemoryStream& input, const void* data, uint32_t size, uint8_t* out, uint32_t outSize)
{
    input.SetPointer(data, size);
    const JpegHeaderInfo header = ReadJpegHeader(input);

    const uint32_t rowBytes = RowBytes(header.Width, 24);
    const uint64_t imageSize = uint64_t(rowBytes) * header.Height;
    const uint64_t fileSize = kBmpHeadersSize + imageSize;
    if (fileSize > outSize)
        throw Exception(kOutputTooSmall);

    // File header, then the information header with the height negated: the
    // rows are stored top-down, the JPEG's first scanline last.
    std::memset(out, 0, kBmpHeadersSize);
    out[0] = 'B';
    out[1] = 'M';
    Put32(out + 2, uint32_t(fileSize));
    Put32(out + 10, kBmpHeadersSize);
    Put32(out + 14, 40);
    Put32(out + 18, header.Width);
    Put32(out + 22, uint32_t(-int32_t(header.Height)));
    Put16(out + 26, 1);
    Put16(out + 28, 24);
    Put32(out + 34, uint32_t(imageSize));

    if (header.Height > 0) {
        uint8_t* pixels = out + kBmpHeadersSize;
        input.Seek(0);
        DecodeJpegToDib(input, pixels + size_t(rowBytes) * (header.Height - 1), rowBytes, header.Width,
                        header.Height);
        const uint32_t used = 3 * header.Width;
        if (rowBytes > used)
            for (uint32_t y = 0; y < header.Height; ++y)
                std::memset(pixels + size_t(y) * rowBytes + used, 0, rowBytes - used);
    }
    return int(fileSize);
}

int DecodeZlib(const void* data, uint32_t size, uint8_t* out, uint32_t outSize)
{
    z_stream strm;
    std::memset(&strm, 0, sizeof(strm));
    if (inflateInit(&strm) != Z_OK)
        throw EDecompressionError(kZlibError);
    strm.next_in = static_cast<Bytef*>(const_cast<void*>(data));
    strm.avail_in = size;
    strm.next_out = out;
    strm.avail_out = outSize;
    const int rc = inflate(&strm, Z_FINISH);
    const bool outputFull = strm.avail_out == 0;
    const uint32_t inflated = outSize - strm.avail_out;
    const bool released = inflateEnd(&strm) == Z_OK;
    if (rc != Z_STREAM_END) {
        if (rc < 0 && !(rc == Z_BUF_ERROR && outputFull))
            throw EDecompressionError(kZlibError);
        throw EZlibError(kZlibTooSmall);
    }
    if (!released)
        throw EDecompressionError(kZlibError);

    // The result is the image's own size field: it must lie within what was
    // inflated, or readers would go past the image.
    if (inflated < 6)
        throw EZlibError(Format("ZLib error: %u bytes inflated, too few for an image", inflated));
    const uint32_t imageSize = Get32(out + 2);
    if (imageSize > inflated)
        throw EZlibError(Format("ZLib error: image size %u exceeds the %u bytes inflated", imageSize, inflated));
    return int(imageSize);
}

} // namespace

int Decompress(const void* src, uint32_t srcLen, void* dst, uint32_t dstCapacity, bool* outputTooSmall)
{
    if (outputTooSmall)
        *outputTooSmall = false;
    if (!src || !dst || !LzoReady())
        return -1;
    if (dstCapacity > uint32_t(INT_MAX))
        dstCapacity = uint32_t(INT_MAX);
    lzo_uint written = dstCapacity;
    const int rc = lzo1x_decompress_safe(static_cast<const lzo_bytep>(src), srcLen,
                                         static_cast<lzo_bytep>(dst), &written, nullptr);
    if (rc == LZO_E_OK)
        return int(written);
    if (rc == LZO_E_OUTPUT_OVERRUN && outputTooSmall)
        *outputTooSmall = true;
    return -1;
}

int UnZipBuffer(TSuperMemoryStream& input, const void* data, uint32_t size, uint16_t compressType,
                void* outBuf, uint32_t outSize)
{
    if (!data || size == 0)
        return 0;
    // Results are signed 32-bit lengths; no buffer, no room.
    if (!outBuf)
        outSize = 0;
    if (outSize > uint32_t(INT_MAX))
        outSize = uint32_t(INT_MAX);
    uint8_t* out = static_cast<uint8_t*>(outBuf);

    switch (compressType) {
    case ctStored:
        if (size > outSize)
            throw Exception(kOutputTooSmall);
        std::memcpy(out, data, size);
        return int(size);
    case ctJPEG:
        return DecodeJpeg(input, data, size, out, outSize);
    case ctLZO1X: {
        bool tooSmall = false;
        const int result = Decompress(data, size, out, outSize, &tooSmall);
        if (tooSmall)
            throw Exception(kOutputTooSmall);
        return result;
    }
    case ctZlib:
        return DecodeZlib(data, size, out, outSize);
    default:
        throw Exception(kUnsupportedType);
    }
}

bool CheckDecodedFrame(const void* image, uint32_t length, std::string* why)
{
    auto fail = [why](std::string reason) {
        if (why)
            *why = std::move(reason);
        return false;
    };
    const uint8_t* p = static_cast<const uint8_t*>(image);
    if (!p || length < kBmpHeadersSize)
        return fail(Format("image of %u bytes is shorter than the bitmap headers", length));
    if (p[0] != 'B' || p[1] != 'M')
        return fail("not a bitmap (type is not BM)");
    const uint32_t fileSize = Get32(p + 2);
    if (fileSize < kBmpHeadersSize || fileSize > length)
        return fail(Format("file size %u outside %u..%u", fileSize, kBmpHeadersSize, length));
    const uint32_t infoSize = Get32(p + 14);
    if (infoSize < 40 || uint64_t(14) + infoSize > fileSize)
        return fail(Format("information header size %u", infoSize));
    const int32_t width = int32_t(Get32(p + 18));
    const int32_t height = int32_t(Get32(p + 22));
    if (width <= 0)
        return fail(Format("width %d", width));
    if (height == 0 || height == INT32_MIN)
        return fail(Format("height %d", height));
    if (Get16(p + 26) != 1)
        return fail(Format("%u planes", Get16(p + 26)));
    const uint32_t bits = Get16(p + 28);
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
        return fail(Format("%u bits per pixel", bits));
    const uint32_t compression = Get32(p + 30);
    const bool bitFields = compression == 3 && (bits == 16 || bits == 32);
    if (compression != 0 && !bitFields)
        return fail(Format("compression %u with %u bits per pixel", compression, bits));

    uint64_t headerEnd = uint64_t(14) + infoSize;
    if (bitFields && infoSize == 40)
        headerEnd += 12;  // the three colour masks
    if (bits <= 8) {
        const uint32_t colours = Get32(p + 46);
        if (colours > (1u << bits))
            return fail(Format("%u colours for %u bits per pixel", colours, bits));
        headerEnd += uint64_t(colours ? colours : 1u << bits) * 4;
    }
    const uint32_t pixelOffset = Get32(p + 10);
    if (pixelOffset < headerEnd)
        return fail(Format("pixel offset %u inside the headers (%u bytes)", pixelOffset, uint32_t(headerEnd)));
    const uint64_t rows = height < 0 ? uint64_t(-int64_t(height)) : uint64_t(height);
    const uint64_t pixelEnd = uint64_t(pixelOffset) + uint64_t(RowBytes(uint32_t(width), bits)) * rows;
    if (pixelEnd > fileSize)
        return fail(Format("pixel rows end at %llu, past the file size %u", (unsigned long long)pixelEnd, fileSize));
    return true;
}

} // namespace qov::decoder
