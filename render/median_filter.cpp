// 3 x 3 median filter over an 8-bit frame.
//
// Each column of a 3-row window is sorted once into (low, middle, high); the median of
// the nine values is then the median of the largest low, the middle middle and the
// smallest high of three neighbouring columns. Only min and max on byte arrays are
// used, row by row, so the compiler turns each loop into byte-wise vector min/max.
#include <array>
#include <cstdint>
#include <cstring>

#include "render/render_internal.h"
#include "render/vector_level.h"

namespace lep3::render {

namespace {

// Sorted columns of one 3-row window. Column x sits at index x + 1, with one spare entry
// at each end, so the medians of a row are one loop over all 160 columns (a whole number
// of vectors); the two edge results that use a spare entry are replaced by the borders.
struct SortedColumns {
    static constexpr size_t kPadded = kFrameWidth + 2;
    std::array<uint8_t, kPadded> low{};
    std::array<uint8_t, kPadded> mid{};
    std::array<uint8_t, kPadded> high{};
};

// By value: std::min/std::max return references, which the vectoriser turns into
// per-lane address selects instead of byte-wise vector min/max.
inline uint8_t lo(uint8_t a, uint8_t b)
{
    return a < b ? a : b;
}
inline uint8_t hi(uint8_t a, uint8_t b)
{
    return a < b ? b : a;
}
inline uint8_t median3(uint8_t a, uint8_t b, uint8_t c)
{
    return hi(lo(a, b), lo(hi(a, b), c));
}

// Sorts the three values of every column of rows above, at and below.
[[gnu::always_inline]] inline void sort_columns(const uint8_t *above, const uint8_t *at, const uint8_t *below,
                                                SortedColumns &sorted)
{
    uint8_t *low = sorted.low.data() + 1;
    uint8_t *mid = sorted.mid.data() + 1;
    uint8_t *high = sorted.high.data() + 1;
    for (size_t x = 0; x < kFrameWidth; ++x) {
        const uint8_t a = above[x];
        const uint8_t b = at[x];
        const uint8_t c = below[x];
        const uint8_t lo_ab = lo(a, b);
        const uint8_t hi_ab = hi(a, b);
        low[x] = lo(lo_ab, c);
        high[x] = hi(hi_ab, c);
        mid[x] = hi(lo_ab, lo(hi_ab, c));
    }
}

// Medians of one row from its sorted columns; those of columns 0 and 159 are not
// meaningful and are overwritten by the borders.
[[gnu::always_inline]] inline void median_row(const SortedColumns &sorted, uint8_t *out)
{
    const uint8_t *low = sorted.low.data();
    const uint8_t *mid = sorted.mid.data();
    const uint8_t *high = sorted.high.data();
    for (size_t x = 0; x < kFrameWidth; ++x) {
        const uint8_t max_low = hi(hi(low[x], low[x + 1]), low[x + 2]);
        const uint8_t min_high = lo(lo(high[x], high[x + 1]), high[x + 2]);
        const uint8_t mid_mid = median3(mid[x], mid[x + 1], mid[x + 2]);
        out[x] = median3(max_low, mid_mid, min_high);
    }
}

[[gnu::always_inline]] inline void filter_into(const uint8_t *src, uint8_t *out)
{
    SortedColumns sorted;
    for (size_t y = 1; y + 1 < kFrameHeight; ++y) {
        const uint8_t *at = src + y * kFrameWidth;
        sort_columns(at - kFrameWidth, at, at + kFrameWidth, sorted);
        median_row(sorted, out + y * kFrameWidth);
    }

    // Borders take the nearest filtered row first, then the nearest column in every
    // row, so each corner ends up with the filtered value diagonally inside it.
    constexpr size_t kLastRow = kFrameHeight - 1;
    constexpr size_t kLastCol = kFrameWidth - 1;
    std::memcpy(out + 1, out + kFrameWidth + 1, kFrameWidth - 2);
    std::memcpy(out + kLastRow * kFrameWidth + 1, out + (kLastRow - 1) * kFrameWidth + 1, kFrameWidth - 2);
    for (size_t y = 0; y < kFrameHeight; ++y) {
        uint8_t *row = out + y * kFrameWidth;
        row[0] = row[1];
        row[kLastCol] = row[kLastCol - 1];
    }
}

} // namespace

int medianFilter3x3(const uint8_t *src, uint8_t *dst)
{
    // Every output pixel is computed from src alone; an in-place call goes through a
    // working frame so no filtered value feeds a later neighbourhood.
    if (src != dst) {
        run_vectorised<filter_into>(src, dst);
        return 0;
    }
    std::array<uint8_t, kFramePixels> work;
    run_vectorised<filter_into>(src, work.data());
    std::memcpy(dst, work.data(), work.size());
    return 0;
}

} // namespace lep3::render
