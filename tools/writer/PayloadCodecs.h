// Encoders for frame payloads: the recorder's side of the decoder's formats.
// Pictures are complete BMP file images ("DecodedFrame"); JPEG payloads are
// encoded from pixel rows.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace qov::writer {

using Bytes = std::vector<uint8_t>;

// A BMP file image: 14-byte file header, 40-byte information header, a colour
// table for 1, 4 and 8 bits (a gray ramp), rows padded to 4 bytes. A positive
// height stores the rows bottom-up, a negative one top-down. pixel(x, y)
// gives the colour 0xRRGGBB of the pixel at x, y counted from the top-left
// corner on screen; for 1, 4 and 8 bits its low bits are the palette index.
Bytes MakeBmp(int width, int height, int bits, const std::function<uint32_t(int x, int y)>& pixel);

// JPEG of a width x height picture; components 3 (pixel gives 0xRRGGBB) or 1
// (gray: pixel's low byte). Scanline 0 of the JPEG is row y = 0.
Bytes EncodeJpeg(int width, int height, int components, int quality,
                 const std::function<uint32_t(int x, int y)>& pixel);

// One LZO1X block as liblzo2's LZO1X-1 compressor writes it.
Bytes EncodeLzo1x1(const Bytes& data);

// A zlib stream (header and checksum) at the given level.
Bytes EncodeZlib(const Bytes& data, int level = 6);

} // namespace qov::writer
