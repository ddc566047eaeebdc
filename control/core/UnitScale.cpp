#include "UnitScale.h"

#include <algorithm>
#include <vector>

namespace qov {
namespace {

constexpr int kPixelBytes = 3;
// Coordinates come from 16-bit words; so Dx x Dy stays below 2^32.
constexpr int32_t kMaxCoordinate = 65536;

// A destination column of the block: byte offsets of its left and right
// samples in a source row, and their weights.
struct TColumn {
    size_t Left;
    size_t Right;
    uint32_t Wx;
    uint32_t Fx;
};

// Number of bits of v (0 for 0).
int BitLength(uint64_t v)
{
    int n = 0;
    while (v != 0) {
        v >>= 1;
        ++n;
    }
    return n;
}

// ceil(2^k / d) for d >= 2; false when it does not fit in 64 bits.
bool CeilPowerOfTwoDiv(int k, uint64_t d, uint64_t& quotient)
{
    uint64_t q = 0;
    uint64_t r = 1;  // 2^i mod d, d > 1
    for (int i = 0; i < k; ++i) {
        if (q >> 63)
            return false;
        q <<= 1;
        r <<= 1;
        if (r >= d) {
            r -= d;
            q |= 1;
        }
    }
    if (r != 0) {
        if (q == UINT64_MAX)
            return false;
        ++q;
    }
    quotient = q;
    return true;
}

// Division by d through its reciprocal: with m = ceil(2^k / d) and
// e = m d - 2^k < d, n m / 2^k = n / d + n e / (d 2^k), so floor(n m / 2^k)
// is floor(n / d) for every n with n e < 2^k, and so for every n up to nMax
// when 2^k > nMax (d - 1). k is at least the width of the high half, so the
// quotient is a shift of the high half of the product.

// Sums up to 32 bits: k = 32 + Shift, m below 2^32.
struct TNarrowDivider {
    uint32_t M;
    uint32_t Shift;
    uint32_t operator()(uint32_t n) const
    {
        return static_cast<uint32_t>((static_cast<uint64_t>(n) * M) >> 32) >> Shift;
    }
};

// Sums up to 64 bits: k = 64 + Shift.
struct TWideDivider {
    uint64_t M;
    uint32_t Shift;
    uint32_t operator()(uint64_t n) const
    {
        // High 64 bits of n x M from 32-bit halves.
        const uint64_t n0 = static_cast<uint32_t>(n), n1 = n >> 32;
        const uint64_t m0 = static_cast<uint32_t>(M), m1 = M >> 32;
        const uint64_t p00 = n0 * m0, p01 = n0 * m1, p10 = n1 * m0, p11 = n1 * m1;
        const uint64_t mid = (p00 >> 32) + static_cast<uint32_t>(p01) + static_cast<uint32_t>(p10);
        const uint64_t high = p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32);
        return static_cast<uint32_t>(high >> Shift);
    }
};

// Dx = Dy = 1: every weight but the upper left sample's is 0.
struct TUnitDivider {
    uint32_t operator()(uint32_t n) const { return n; }
};

// Reciprocal of d with 2^k > the largest sum times (d - 1), the high half
// being bits wide; false when it needs more than that.
template <typename TDivider>
bool MakeDivider(uint64_t d, int k, int bits, TDivider& divider)
{
    k = std::max(k, bits);
    uint64_t m = 0;
    if (k - bits > 31 || !CeilPowerOfTwoDiv(k, d, m))
        return false;
    if (bits == 32 && (m >> 32) != 0)
        return false;
    divider.M = static_cast<decltype(divider.M)>(m);
    divider.Shift = static_cast<uint32_t>(k - bits);
    return true;
}

struct TBlock {
    const TSourcePixels* Source;
    const TDestPixels* Dest;
    int32_t DestLeft;
    int32_t FirstRow;
    int32_t EndRow;
    uint32_t Dy;
    uint32_t SourceBottom;  // SB - 1
    const std::vector<TColumn>* Columns;
};

template <typename TSum, typename TDivider>
void ScaleRows(const TBlock& block, TDivider divide, TSum half)
{
    const TSourcePixels& src = *block.Source;
    const TColumn* const columns = block.Columns->data();
    const size_t count = block.Columns->size();
    const int64_t lastRow = src.Height - 1;
    for (int32_t y = block.FirstRow; y < block.EndRow; ++y) {
        // Rows by their absolute coordinate: 0 .. Dy onto 0 .. SB - 1.
        const uint64_t u = static_cast<uint64_t>(y) * block.SourceBottom;
        const int64_t row = static_cast<int64_t>(u / block.Dy);
        const uint32_t fy = static_cast<uint32_t>(u % block.Dy);
        const uint32_t wy = block.Dy - fy;
        const int64_t upperRow = std::min(row, lastRow);
        const int64_t lowerRow = fy != 0 ? std::min(row + 1, lastRow) : upperRow;
        const uint8_t* __restrict upper = src.Bits + static_cast<ptrdiff_t>(upperRow) * src.Stride;
        const uint8_t* __restrict lower = src.Bits + static_cast<ptrdiff_t>(lowerRow) * src.Stride;
        uint8_t* __restrict out =
            block.Dest->Bits + static_cast<ptrdiff_t>(y) * block.Dest->Stride + block.DestLeft * kPixelBytes;
        for (size_t k = 0; k < count; ++k) {
            const TColumn c = columns[k];
            const uint8_t* tl = upper + c.Left;
            const uint8_t* tr = upper + c.Right;
            const uint8_t* bl = lower + c.Left;
            const uint8_t* br = lower + c.Right;
            for (int b = 0; b < kPixelBytes; ++b) {
                const uint32_t top = c.Wx * tl[b] + c.Fx * tr[b];
                const uint32_t bottom = c.Wx * bl[b] + c.Fx * br[b];
                out[b] = static_cast<uint8_t>(divide(static_cast<TSum>(wy) * top + static_cast<TSum>(fy) * bottom + half));
            }
            out += kPixelBytes;
        }
    }
}

bool ValidPixels(const uint8_t* bits, ptrdiff_t stride, int32_t width, int32_t height)
{
    if (bits == nullptr || width <= 0 || height <= 0)
        return false;
    const int64_t rowBytes = static_cast<int64_t>(width) * kPixelBytes;
    return stride >= rowBytes || -stride >= rowBytes;
}

bool UsableRect(const TPixelRect& r)
{
    return !r.Empty() && r.Left >= 0 && r.Top >= 0 && r.Right <= kMaxCoordinate && r.Bottom <= kMaxCoordinate;
}

} // namespace

bool ScaleBlockBilinear(const TDestPixels& picture, const TPixelRect& dest, const TPixelRect& src,
                        const TSourcePixels& backBuffer)
{
    if (!ValidPixels(picture.Bits, picture.Stride, picture.Width, picture.Height) ||
        !ValidPixels(backBuffer.Bits, backBuffer.Stride, backBuffer.Width, backBuffer.Height))
        return false;
    if (!UsableRect(dest) || !UsableRect(src) || dest.Right <= 1 || dest.Bottom <= 1)
        return true;
    const int32_t endColumn = std::min(dest.Right, picture.Width);
    const int32_t endRow = std::min(dest.Bottom, picture.Height);
    if (dest.Left >= endColumn || dest.Top >= endRow)
        return true;

    const uint32_t dx = static_cast<uint32_t>(dest.Right - 1);
    const uint32_t dy = static_cast<uint32_t>(dest.Bottom - 1);

    // Columns by their offset inside the block, starting at SL.
    std::vector<TColumn> columns(static_cast<size_t>(endColumn - dest.Left));
    const uint32_t sourceRight = static_cast<uint32_t>(src.Right - 1);
    const int64_t lastColumn = backBuffer.Width - 1;
    for (size_t k = 0; k < columns.size(); ++k) {
        const uint64_t c = static_cast<uint64_t>(k) * sourceRight;
        const int64_t x = src.Left + static_cast<int64_t>(c / dx);
        const uint32_t fx = static_cast<uint32_t>(c % dx);
        const int64_t left = std::min(x, lastColumn);
        const int64_t right = fx != 0 ? std::min(x + 1, lastColumn) : left;
        columns[k] = {static_cast<size_t>(left) * kPixelBytes, static_cast<size_t>(right) * kPixelBytes, dx - fx, fx};
    }

    const TBlock block{&backBuffer, &picture, dest.Left, dest.Top, endRow, dy,
                       static_cast<uint32_t>(src.Bottom - 1), &columns};
    const uint64_t d = static_cast<uint64_t>(dx) * dy;
    const uint64_t half = d / 2;
    const uint64_t nMax = 255 * d + half;
    if (d == 1) {
        ScaleRows<uint32_t>(block, TUnitDivider{}, 0u);
        return true;
    }
    TNarrowDivider narrow{};
    if ((nMax >> 32) == 0 && MakeDivider(d, BitLength(nMax * (d - 1)), 32, narrow)) {
        ScaleRows<uint32_t>(block, narrow, static_cast<uint32_t>(half));
        return true;
    }
    TWideDivider wide{};
    if (!MakeDivider(d, BitLength(nMax) + BitLength(d - 1), 64, wide))
        return false;  // cannot happen for coordinates up to 65536
    ScaleRows<uint64_t>(block, wide, half);
    return true;
}

} // namespace qov
