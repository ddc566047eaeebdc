// The bilinear scaler that draws a block of the picture at a zoom below 100
// straight from the back buffer's pixels into the picture bitmap's rows.
//
// Pure logic: no Windows headers. Pixels are 24-bit B, G, R; row y of a
// bitmap starts at Bits + y x Stride. A top-down DIB (the back buffer) passes
// its bits and positive stride; a bottom-up one passes its last row in memory
// (scan line 0) and the negative stride.
#pragma once

#include <cstddef>
#include <cstdint>

#include "PictureLayout.h"

namespace qov {

struct TSourcePixels {
    const uint8_t* Bits = nullptr;
    ptrdiff_t Stride = 0;
    int32_t Width = 0;
    int32_t Height = 0;
};

struct TDestPixels {
    uint8_t* Bits = nullptr;
    ptrdiff_t Stride = 0;
    int32_t Width = 0;
    int32_t Height = 0;
};

// Draws the destination block dest (DL, DT)-(DR, DB) of picture from the
// source block src (SL, ST)-(SR, SB) of the back buffer. With Dx = DR - 1 and
// Dy = DB - 1, destination row y is taken from source rows y x (SB - 1) / Dy
// and the next one (absolute coordinates), destination column DL + k from
// source columns SL + k x (SR - 1) / Dx and the next one (offsets inside the
// block); each byte is
//   (wx wy TL + fx wy TR + wx fy BL + fx fy BR + Dx Dy / 2) / (Dx Dy)
// with fx, fy the remainders of those divisions, wx = Dx - fx, wy = Dy - fy
// and TL, TR, BL, BR the four samples' bytes: bilinear interpolation rounded
// to the nearest integer. A sample is the same pixel again where its weight
// is 0, and a right or lower sample beyond the back buffer is taken from its
// last column or row: nothing is read outside the back buffer. Only the part
// of dest inside picture is written.
//
// Every result is exact whatever the block's size: blocks within pictures up
// to about 2900 x 2900 pixels are computed with 32-bit sums, larger ones (4K
// screens and beyond) with 64-bit sums, both dividing through an exact
// reciprocal of Dx x Dy.
//
// Returns true when it finished, also when there was nothing to draw (DR or
// DB 1 or less, an empty, inverted or negative rectangle, coordinates above
// 65536, a block outside picture); false when a bitmap is missing or its
// stride is shorter than its rows.
bool ScaleBlockBilinear(const TDestPixels& picture, const TPixelRect& dest, const TPixelRect& src,
                        const TSourcePixels& backBuffer);

} // namespace qov
