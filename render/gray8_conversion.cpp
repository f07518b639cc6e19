// Raw 14-bit frames to 8-bit grey: a linear stretch between a minimum and a maximum,
// in integers and truncated, then a 3 x 3 median filter.
#include <algorithm>
#include <array>
#include <cstdint>

#include "lep3.h"
#include "render/render_internal.h"
#include "render/vector_level.h"

// The range of the last automatic conversion, reused by held-mode calls.
extern "C" {
LEP3_API uint32_t held_range_max = 0;
LEP3_API uint32_t held_range_min = lep3::render::kRawDomainMax;
}

namespace {

using lep3::render::kFramePixels;
using lep3::render::kRawDomainMax;
using lep3::render::kRawFullScale;
using Frame8 = std::array<uint8_t, kFramePixels>;

constexpr uint32_t kGreyLevels = 255;

// The stretch computes floor(255 x / d) for 0 <= x <= d, a quotient of 0..255, without
// a division per pixel. Two exact ways:

// Ranges narrower than 2^15 (every scene of 14-bit data), in 16-bit lanes only. The
// range is first scaled by 2^k into D in [2^14, 2^15), and x by the same factor into y
// (y <= D). With M = floor(255 * 2^16 / D) >= 510 the estimate e = (y M) >> 16 falls
// short of the quotient by less than y / 2^16 < 1/2, so e is the quotient or one less;
// the remainder 255 y - e D then lies in [0, 2 D), below 2^16, and is exact in 16-bit
// wrap-around arithmetic, so one comparison with D corrects e. Eight lanes of high
// multiply, low multiply and compare per vector, which the compiler vectorises from
// the plain loop (a multiply by 2^k rather than a variable shift keeps the high-multiply
// pattern recognisable).
class NarrowRange {
  public:
    static constexpr uint32_t kMaxWidth = (1U << 15) - 1;

    NarrowRange(uint32_t max, uint32_t min) : max_(static_cast<uint16_t>(max)), min_(static_cast<uint16_t>(min))
    {
        uint32_t d = max - min;
        uint32_t scale = 1;
        while (d < kNormalisedLow) {
            d <<= 1;
            scale <<= 1;
        }
        scale_ = static_cast<uint16_t>(scale);
        width_ = static_cast<uint16_t>(d);
        reciprocal_ = static_cast<uint16_t>((kGreyLevels << 16) / d);
    }

    // Clamped stretch of one raw value (clamping changes nothing for a value in range).
    uint8_t operator()(uint16_t raw) const
    {
        const uint16_t p = raw < max_ ? raw : max_;
        const uint16_t x = p > min_ ? static_cast<uint16_t>(p - min_) : uint16_t{0};
        const auto y = static_cast<uint16_t>(x * scale_);
        const auto e = static_cast<uint16_t>((uint32_t{y} * reciprocal_) >> 16);
        const auto remainder =
            static_cast<uint16_t>(static_cast<uint16_t>(y * kGreyLevels) - static_cast<uint16_t>(e * width_));
        const uint16_t carry = remainder >= width_ ? 1 : 0;
        return static_cast<uint8_t>(e + carry);
    }

  private:
    static constexpr uint32_t kNormalisedLow = 1U << 14;
    uint16_t max_;
    uint16_t min_;
    uint16_t scale_ = 1;
    uint16_t width_ = 0;
    uint16_t reciprocal_ = 0;
};

// Any other range (a user or host-set range up to 32 bits): one 64-bit multiplication
// and one shift. With l = ceil(log2 d) and m = ceil(2^(24 + l) / d), the error
// m d - 2^(24 + l) stays below 2^l, which keeps n m / 2^(24 + l) under the next integer
// for every numerator n = 255 x below 2^24.
class WideRange {
  public:
    WideRange(uint32_t max, uint32_t min) : max_(max), min_(min)
    {
        const uint32_t d = max - min;
        unsigned l = 0;
        while (l < 32 && (uint64_t{1} << l) < d)
            ++l;
        shift_ = kNumeratorBits + l;
        const uint64_t scaled = uint64_t{1} << shift_;
        multiplier_ = static_cast<uint32_t>((scaled + d - 1) / d);
    }

    uint8_t operator()(uint16_t raw) const
    {
        const uint32_t p = std::min<uint32_t>(raw, max_);
        const uint32_t x = p < min_ ? 0 : p - min_;
        const uint64_t numerator = uint64_t{x} * kGreyLevels;
        return static_cast<uint8_t>((numerator * multiplier_) >> shift_);
    }

  private:
    static constexpr unsigned kNumeratorBits = 24;
    static_assert(uint64_t{kRawDomainMax} * kGreyLevels < (uint64_t{1} << kNumeratorBits));
    uint32_t max_;
    uint32_t min_;
    uint32_t multiplier_ = 0;
    unsigned shift_ = 0;
};

// The range arrives through a pointer so its 16-bit fields reach the loop as 16-bit values,
// which the high-multiply pattern needs (built in place, their zero extension folds away).
template <typename Range>
[[gnu::always_inline]] inline void stretch_loop(const uint16_t *raw, uint8_t *out, const Range *range)
{
    for (size_t i = 0; i < kFramePixels; ++i)
        out[i] = (*range)(raw[i]);
}

struct RawRange {
    uint16_t max;
    uint16_t min;
};

// Running maximum from 0 and minimum from 65535 over the frame.
[[gnu::always_inline]] inline void range_loop(const uint16_t *raw, RawRange *range)
{
    uint16_t hi = 0;
    uint16_t lo = kRawDomainMax;
    for (size_t i = 0; i < kFramePixels; ++i) {
        hi = std::max(hi, raw[i]);
        lo = std::min(lo, raw[i]);
    }
    *range = {hi, lo};
}

} // namespace

namespace lep3::render {

// The automatic range needs no clamping, but clamping a value that lies inside the range
// leaves it unchanged, so one clamped loop serves all three callers.
void stretch_frame(const uint16_t *raw, uint8_t *out, uint32_t max, uint32_t min)
{
    if (max <= kRawDomainMax && max - min <= NarrowRange::kMaxWidth) {
        const NarrowRange range(max, min);
        run_vectorised<stretch_loop<NarrowRange>>(raw, out, &range);
    } else {
        const WideRange range(max, min);
        run_vectorised<stretch_loop<WideRange>>(raw, out, &range);
    }
}

} // namespace lep3::render

namespace {

// A flat frame: every byte is max scaled against the 14-bit full scale, low 8 bits kept.
void fill_flat(Frame8 &stretch, uint32_t max)
{
    stretch.fill(static_cast<uint8_t>(max * kGreyLevels / kRawFullScale));
}

} // namespace

extern "C" LEP3_API int Gray14ToGray8(const uint16_t *raw, uint8_t *gray8, uint16_t *maxOut, uint16_t *minOut,
                                      uint8_t holdRange)
{
    Frame8 frame;
    uint32_t max = 0;
    uint32_t min = 0;
    if (holdRange == 0) {
        // The frame's own range.
        RawRange range{};
        lep3::render::run_vectorised<range_loop>(raw, &range);
        max = range.max;
        min = range.min;
        held_range_max = max;
        held_range_min = min;
        if (min < max)
            lep3::render::stretch_frame(raw, frame.data(), max, min);
        else
            fill_flat(frame, max);
    } else {
        max = held_range_max;
        min = held_range_min;
        if (max <= min)
            fill_flat(frame, max);
        else
            lep3::render::stretch_frame(raw, frame.data(), max, min);
    }
    lep3::render::medianFilter3x3(frame.data(), gray8);
    *maxOut = static_cast<uint16_t>(max);
    *minOut = static_cast<uint16_t>(min);
    return 0;
}

extern "C" LEP3_API int Gray14ToGray8WithUserSetPalette(const uint16_t *raw, uint8_t *gray8, uint32_t userMax,
                                                        uint32_t userMin)
{
    Frame8 frame;
    if (userMax <= userMin)
        fill_flat(frame, userMax);
    else
        lep3::render::stretch_frame(raw, frame.data(), userMax, userMin);
    lep3::render::medianFilter3x3(frame.data(), gray8);
    return 0;
}
