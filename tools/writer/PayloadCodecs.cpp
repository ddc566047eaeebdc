#include "PayloadCodecs.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <jpeglib.h>
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

struct JpegFailure {};

void JpegErrorExit(j_common_ptr)
{
    throw JpegFailure{};
}

void JpegSilent(j_common_ptr) {}

} // namespace

Bytes EncodeJpeg(int width, int height, int components, int quality,
                 const std::function<uint32_t(int, int)>& pixel)
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jerr.error_exit = JpegErrorExit;
    jerr.output_message = JpegSilent;
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    Bytes result;
    jpeg_create_compress(&cinfo);
    try {
        jpeg_mem_dest(&cinfo, &out, &outSize);
        cinfo.image_width = JDIMENSION(width);
        cinfo.image_height = JDIMENSION(height);
        cinfo.input_components = components;
        cinfo.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
        jpeg_set_defaults(&cinfo);
        jpeg_set_quality(&cinfo, quality, TRUE);
        jpeg_start_compress(&cinfo, TRUE);
        std::vector<uint8_t> row(size_t(width) * components);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const uint32_t c = pixel(x, y);
                if (components == 1) {
                    row[x] = uint8_t(c);
                } else {
                    row[3 * x] = uint8_t(c >> 16);
                    row[3 * x + 1] = uint8_t(c >> 8);
                    row[3 * x + 2] = uint8_t(c);
                }
            }
            JSAMPROW p = row.data();
            jpeg_write_scanlines(&cinfo, &p, 1);
        }
        jpeg_finish_compress(&cinfo);
        result.assign(out, out + outSize);
    } catch (const JpegFailure&) {
        jpeg_destroy_compress(&cinfo);
        std::free(out);
        throw std::runtime_error("EncodeJpeg failed");
    }
    jpeg_destroy_compress(&cinfo);
    std::free(out);
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
