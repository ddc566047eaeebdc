// Payloads and helpers shared by the frame decoder's tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <typeindex>
#include <typeinfo>
#include <vector>

#include <jpeglib.h>

#include "PayloadCodecs.h"
#include "SysUtils.h"

namespace qov::test {

using writer::Bytes;

constexpr uint8_t kUntouched = 0xA5;

inline uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t Get32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

// Number of bytes in [p, p + n) that differ from the untouched pattern.
inline size_t Touched(const uint8_t* p, size_t n)
{
    size_t count = 0;
    for (size_t i = 0; i < n; ++i)
        count += p[i] != kUntouched;
    return count;
}

// The class and message of the qov::Exception that f raises.
struct Raised {
    std::type_index Type = typeid(void);
    std::string Message;
};
template <typename F>
Raised RaisedBy(F&& f)
{
    try {
        f();
    } catch (const Exception& e) {
        return {typeid(e), e.what()};
    }
    return {};
}

// A screen-like picture: window areas, text-like strokes and a gradient,
// neither noise nor flat.
inline uint32_t ScreenPixel(int x, int y)
{
    if (y % 24 < 18 && x % 160 > 8 && x % 160 < 150 && ((x * 7 + y * 3) % 11) < 4)
        return 0x202020;
    if ((x / 320 + y / 240) % 2)
        return 0xF0F0F0;
    return uint32_t(0x3060A0 + ((x / 8) & 0x3F) + (((y / 8) & 0x3F) << 8));
}

// A baseline JPEG with the dimensions in its frame header changed.
inline Bytes PatchJpegSize(Bytes jpeg, uint16_t width, uint16_t height)
{
    for (size_t i = 2; i + 9 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
            jpeg[i + 5] = uint8_t(height >> 8);
            jpeg[i + 6] = uint8_t(height);
            jpeg[i + 7] = uint8_t(width >> 8);
            jpeg[i + 8] = uint8_t(width);
            return jpeg;
        }
    }
    return {};
}

// A CMYK (Adobe) JPEG, which cannot become B,G,R.
inline Bytes EncodeCmykJpeg(int width, int height)
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&cinfo, &out, &outSize);
    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<uint8_t> row(size_t(width) * 4, 0x40);
    for (int y = 0; y < height; ++y) {
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&cinfo, &p, 1);
    }
    jpeg_finish_compress(&cinfo);
    Bytes result(out, out + outSize);
    jpeg_destroy_compress(&cinfo);
    std::free(out);
    return result;
}

} // namespace qov::test
