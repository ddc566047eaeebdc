#include "PayloadCodecs.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include <jpeglib.h>
#include <jerror.h>
#include <lzo/lzo1x.h>
#include <zlib.h>

namespace qov::writer {

namespace {

void Put16(Bytes& b, size_t at, uint16_t v)
{
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

void Put32(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}

} // namespace

Bytes MakeBmp(int width, int height, int bits, const std::function<uint32_t(int, int)>& pixel)
{
    if (width <= 0 || height == 0)
        throw std::invalid_argument("MakeBmp: empty picture");
    const int rows = height < 0 ? -height : height;
    const uint32_t stride = ((uint32_t(width) * bits + 31) & ~31u) / 8;
    const uint32_t colours = bits <= 8 ? (1u << bits) : 0;
    const uint32_t offset = 54 + colours * 4;
    const uint32_t image = stride * uint32_t(rows);
    Bytes b(offset + image, 0);
    b[0] = 'B';
    b[1] = 'M';
    Put32(b, 2, offset + image);
    Put32(b, 10, offset);
    Put32(b, 14, 40);
    Put32(b, 18, uint32_t(width));
    Put32(b, 22, uint32_t(height));
    Put16(b, 26, 1);
    Put16(b, 28, uint16_t(bits));
    Put32(b, 34, image);
    Put32(b, 46, colours);
    for (uint32_t i = 0; i < colours; ++i) {
        uint8_t g = uint8_t(colours > 1 ? i * 255 / (colours - 1) : 0);
        b[54 + 4 * i] = g;
        b[54 + 4 * i + 1] = g;
        b[54 + 4 * i + 2] = g;
    }
    for (int y = 0; y < rows; ++y) {
        const int memRow = height > 0 ? rows - 1 - y : y;
        uint8_t* row = b.data() + offset + size_t(memRow) * stride;
        for (int x = 0; x < width; ++x) {
            const uint32_t c = pixel(x, y);
            switch (bits) {
            case 32:
                row[4 * x] = uint8_t(c);
                row[4 * x + 1] = uint8_t(c >> 8);
                row[4 * x + 2] = uint8_t(c >> 16);
                break;
            case 24:
                row[3 * x] = uint8_t(c);
                row[3 * x + 1] = uint8_t(c >> 8);
                row[3 * x + 2] = uint8_t(c >> 16);
                break;
            case 16: { // 5-5-5
                uint16_t v = uint16_t(((c >> 19) & 31) << 10 | ((c >> 11) & 31) << 5 | ((c >> 3) & 31));
                row[2 * x] = uint8_t(v);
                row[2 * x + 1] = uint8_t(v >> 8);
                break;
            }
            case 8:
                row[x] = uint8_t(c);
                break;
            case 4:
                row[x / 2] |= uint8_t((c & 15) << (x % 2 ? 0 : 4));
                break;
            case 1:
                if (c & 1)
                    row[x / 8] |= uint8_t(0x80 >> (x % 8));
                break;
            default:
                throw std::invalid_argument("MakeBmp: unsupported bit count");
            }
        }
    }
    return b;
}

namespace {

// libjpeg calls its error exit from inside its own C frames, where no C++
// exception may pass: the exit jumps back to the point set in RunCompress,
// which cleans up and reports the failure; EncodeJpeg then throws.
struct JpegErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    int code;
};

void JpegErrorExit(j_common_ptr cinfo)
{
    auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    err->code = cinfo->err->msg_code;
    std::longjmp(err->jump, 1);
}

void JpegSilent(j_common_ptr) {}
void JpegSilentLevel(j_common_ptr, int) {}

// Growing malloc'ed output for the compressor. libjpeg's own memory
// destination leaves the caller's pointer at a freed block once it has grown,
// so a failure after that could not release the right one; this one always
// knows its current block.
struct JpegMemoryDestination {
    jpeg_destination_mgr pub;
    unsigned char* buffer;
    size_t size;
    size_t used;  // set when compression finishes
};

constexpr size_t kJpegFirstBlock = 64 * 1024;

void JpegDestInit(j_compress_ptr cinfo)
{
    auto* dest = reinterpret_cast<JpegMemoryDestination*>(cinfo->dest);
    dest->buffer = static_cast<unsigned char*>(std::malloc(kJpegFirstBlock));
    if (dest->buffer == nullptr)
        ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 10);
    dest->size = kJpegFirstBlock;
    dest->pub.next_output_byte = dest->buffer;
    dest->pub.free_in_buffer = dest->size;
}

boolean JpegDestGrow(j_compress_ptr cinfo)
{
    auto* dest = reinterpret_cast<JpegMemoryDestination*>(cinfo->dest);
    auto* bigger = static_cast<unsigned char*>(std::realloc(dest->buffer, dest->size * 2));
    if (bigger == nullptr)
        ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 11);
    dest->buffer = bigger;
    dest->pub.next_output_byte = bigger + dest->size;
    dest->pub.free_in_buffer = dest->size;
    dest->size *= 2;
    return TRUE;
}

void JpegDestTerm(j_compress_ptr cinfo)
{
    auto* dest = reinterpret_cast<JpegMemoryDestination*>(cinfo->dest);
    dest->used = dest->size - dest->pub.free_in_buffer;
}

struct JpegCompressJob {
    int width;
    int height;
    int components;
    int quality;
    const uint8_t* samples;  // height rows of width x components bytes
    JpegMemoryDestination dest;
    int code;
};

// Only plain C data lives in this frame, so the jump back skips nothing that
// needs cleaning up. Returns false on a libjpeg failure (job->code set).
bool RunCompress(JpegCompressJob* job)
{
    jpeg_compress_struct cinfo;
    JpegErrorManager err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = JpegErrorExit;
    err.pub.output_message = JpegSilent;
    err.pub.emit_message = JpegSilentLevel;
    err.code = 0;
    if (setjmp(err.jump) != 0) {
        job->code = err.code;
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    job->dest.pub.init_destination = JpegDestInit;
    job->dest.pub.empty_output_buffer = JpegDestGrow;
    job->dest.pub.term_destination = JpegDestTerm;
    cinfo.dest = &job->dest.pub;
    cinfo.image_width = JDIMENSION(job->width);
    cinfo.image_height = JDIMENSION(job->height);
    cinfo.input_components = job->components;
    cinfo.in_color_space = job->components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, job->quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    const size_t stride = size_t(job->width) * size_t(job->components);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(job->samples + size_t(cinfo.next_scanline) * stride);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

} // namespace

Bytes EncodeJpeg(int width, int height, int components, int quality,
                 const std::function<uint32_t(int, int)>& pixel)
{
    if (components != 1 && components != 3)
        throw std::invalid_argument("EncodeJpeg: components must be 1 or 3");
    if (width < 0 || height < 0)
        throw std::invalid_argument("EncodeJpeg: negative size");
    // All samples first, so that the pixel function runs outside libjpeg.
    std::vector<uint8_t> samples(size_t(width) * size_t(height) * size_t(components));
    size_t at = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const uint32_t c = pixel(x, y);
            if (components == 1) {
                samples[at++] = uint8_t(c);
            } else {
                samples[at++] = uint8_t(c >> 16);
                samples[at++] = uint8_t(c >> 8);
                samples[at++] = uint8_t(c);
            }
        }
    JpegCompressJob job{};
    job.width = width;
    job.height = height;
    job.components = components;
    job.quality = quality;
    job.samples = samples.data();
    const bool ok = RunCompress(&job);
    Bytes result;
    if (ok && job.dest.buffer != nullptr)
        result.assign(job.dest.buffer, job.dest.buffer + job.dest.used);
    std::free(job.dest.buffer);
    if (!ok)
        throw std::runtime_error("EncodeJpeg failed: JPEG error #" + std::to_string(job.code));
    return result;
}

Bytes EncodeLzo1x1(const Bytes& data)
{
    static const bool ready = lzo_init() == LZO_E_OK;
    if (!ready)
        throw std::runtime_error("lzo_init failed");
    Bytes out(data.size() + data.size() / 16 + 64 + 3);
    std::vector<unsigned char> work(LZO1X_1_MEM_COMPRESS);
    lzo_uint outLen = 0;
    if (lzo1x_1_compress(data.data(), data.size(), out.data(), &outLen, work.data()) != LZO_E_OK)
        throw std::runtime_error("lzo1x_1_compress failed");
    out.resize(outLen);
    return out;
}

Bytes EncodeZlib(const Bytes& data, int level)
{
    uLongf outLen = compressBound(uLong(data.size()));
    Bytes out(outLen);
    if (compress2(out.data(), &outLen, data.data(), uLong(data.size()), level) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(outLen);
    return out;
}

} // namespace qov::writer
