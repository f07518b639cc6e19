// Raw values to temperatures, and temperature frames to colour.
#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "control/control_internal.h"
#include "control/raw_value_table.h"
#include "lep3.h"
#include "link/console.h"
#include "render/render_internal.h"
#include "render/vector_level.h"

using lep3::render::kFramePixels;
using lep3::render::kFrameWidth;

// The range of the last automatic colouring, reused by held-mode calls.
extern "C" {
LEP3_API float held_temp_max = 0.0F;
LEP3_API float held_temp_min = 1000.0F;
}

namespace {

using lep3::control::kRadiometricB;
using lep3::control::kRadiometricF;
using lep3::control::kZeroCelsiusInKelvin;

// One raw value to kelvin: the quotient and the sum in single precision, the logarithm
// and the division in double.
float raw_to_kelvin(uint16_t raw, float r, float o)
{
    const float u = r / (static_cast<float>(raw) - o) + kRadiometricF;
    return static_cast<float>(kRadiometricB / std::log(static_cast<double>(u)));
}

// The same kelvin for a span of consecutive raw values at once, in vector lanes, bit for
// bit. The quotient and the sum are the formula's own single-precision operations; the
// logarithm is approximated (exponent split off, ln m = 2 atanh((m - 1) / (m + 1)) by its
// series to s^17, for m in [sqrt(1/2), sqrt(2)): relative error below 2^-44, well within
// kDoubtMargin). A value whose float rounding the approximation can't settle (the exact
// quotient B / ln u might round to another float within the margin), or whose u is no
// positive normal float, is computed by the formula itself, so every entry is the formula's.
namespace span_kelvin {

// Four lanes, as GCC's vector extensions: the float lanes of the formula's quotient and
// sum, and the double lanes of the logarithm and the division (two SSE registers each at
// the baseline, one AVX register each with AVX2).
constexpr size_t kLanes = 4;
using Floats = float __attribute__((vector_size(kLanes * sizeof(float))));
using Ints = int32_t __attribute__((vector_size(kLanes * sizeof(int32_t))));
using Doubles = double __attribute__((vector_size(kLanes * sizeof(double))));
using Words = uint64_t __attribute__((vector_size(kLanes * sizeof(uint64_t))));
using Masks = int64_t __attribute__((vector_size(kLanes * sizeof(int64_t))));

constexpr double kLn2 = 0x1.62e42fefa39efp-1;
constexpr uint64_t kSqrtHalfBits = 0x3FE6A09E667F3BCDULL;
constexpr uint64_t kExponentBias = uint64_t{1023} << 52;
constexpr uint64_t kTwoTo52Bits = 0x4330000000000000ULL; // 2^52: an integer below it in its low bits
// A double rounds to a float at its 29 low bits: from 2^28 on, upwards. A value whose low
// bits lie within kDoubtUlps of that boundary may round otherwise than the formula's own
// quotient (within 2^-44 relative, some 2^9 units of the last place): it is in doubt.
constexpr uint64_t kFloatRoundingBits = (uint64_t{1} << 29) - 1;
constexpr uint64_t kFloatHalfway = uint64_t{1} << 28;
constexpr uint64_t kDoubtUlps = uint64_t{1} << 17;

// The lanes of one vector type read as another of the same size. (std::bit_cast would return
// the vector by value, through a different ABI with and without AVX.)
template <typename To, typename From> [[gnu::always_inline]] inline void reinterpret(const From &from, To &to)
{
    static_assert(sizeof(To) == sizeof(From));
    std::memcpy(&to, &from, sizeof to);
}

// ln x for positive normal lanes, within 2^-44 relative (the series' next term, s^16 / 17,
// is below 2^-44 of the sum). (By reference: vectors passed by
// value would take a different ABI with and without AVX.)
[[gnu::always_inline]] inline void ln_approx(const Doubles &x, Doubles &ln)
{
    Words bits;
    reinterpret(x, bits);
    // x = m 2^k with m in [sqrt(1/2), sqrt(2)); biased = k + 1023.
    const Words biased = (bits - kSqrtHalfBits + kExponentBias) >> 52;
    Doubles m;
    reinterpret(Words{bits - (biased << 52) + kExponentBias}, m);
    Doubles k;
    reinterpret(Words{biased | kTwoTo52Bits}, k);
    k = k - 0x1p52 - 1023.0;
    const Doubles s = (m - 1.0) / (m + 1.0);
    const Doubles s2 = s * s;
    Doubles p = s2 * (1.0 / 15) + 1.0 / 13;
    p = p * s2 + 1.0 / 11;
    p = p * s2 + 1.0 / 9;
    p = p * s2 + 1.0 / 7;
    p = p * s2 + 1.0 / 5;
    p = p * s2 + 1.0 / 3;
    p = p * s2 + 1.0;
    ln = k * kLn2 + 2.0 * s * p;
}

// Entries (float bits) for the raw values first .. last (first a multiple of kLanes, last
// one below the next) into bits[first ..]; doubts[v / kLanes] says whether any of a
// group's lanes is in doubt, and any whether any group is.
[[gnu::always_inline]] inline void fill(uint32_t *bits, uint8_t *doubts, uint32_t first, uint32_t last, float r,
                                        float o, uint32_t *any)
{
    const Ints step{0, 1, 2, 3};
    uint64_t doubt_seen = 0;
    for (uint32_t v = first; v <= last; v += kLanes) {
        const Ints raw = static_cast<int32_t>(v) + step;
        const Floats u = r / (__builtin_convertvector(raw, Floats) - o) + kRadiometricF;
        const Ints normal = (u >= FLT_MIN) & (u <= FLT_MAX);
        // Lanes without a positive normal u are settled by the formula; 2 keeps theirs tame.
        const Floats usable = normal != 0 ? u : Floats{} + 2.0F;
        Doubles ln;
        ln_approx(__builtin_convertvector(usable, Doubles), ln);
        const Doubles y = kRadiometricB / ln;
        Words y_bits;
        reinterpret(y, y_bits);
        const Words near_halfway = ((y_bits - kFloatHalfway + kDoubtUlps) & kFloatRoundingBits) < 2 * kDoubtUlps;
        Ints doubt;
        reinterpret(__builtin_convertvector(__builtin_convertvector(near_halfway, Masks), Ints) | ~normal, doubt);
        uint64_t halves[2];
        std::memcpy(halves, &doubt, sizeof halves);
        const uint64_t group = halves[0] | halves[1];
        doubt_seen |= group;
        doubts[v / kLanes] = static_cast<uint8_t>(group != 0);
        const Floats kelvin = __builtin_convertvector(y, Floats);
        std::memcpy(&bits[v], &kelvin, sizeof kelvin);
    }
    *any = static_cast<uint32_t>(doubt_seen != 0);
}

} // namespace span_kelvin

// A float converted to an unsigned integer by truncation towards zero; a negative value
// or NaN gives 0 and a value of 2^32 or more saturates.
uint32_t truncate_to_unsigned(float value)
{
    constexpr float kTwoTo32 = 4294967296.0F;
    if (!(value > 0.0F))
        return 0;
    if (value >= kTwoTo32)
        return UINT32_MAX;
    return static_cast<uint32_t>(value);
}

// The calibration a kelvin table is keyed by, and the formula that fills it.
struct Calibration {
    int32_t r = 0;
    int32_t o = 0;
    bool operator==(const Calibration &) const = default;
};

struct KelvinOfRaw {
    float operator()(uint16_t raw, const Calibration &c) const
    {
        return raw_to_kelvin(raw, static_cast<float>(c.r), static_cast<float>(c.o));
    }
    // A whole span of raw values at once (see RawValueTable).
    static bool fill_span(uint32_t *bits, uint8_t *doubts, uint32_t low, uint32_t high, const Calibration &c)
    {
        static_assert(span_kelvin::kLanes == lep3::control::kSpanGroup);
        uint32_t any = 0;
        lep3::render::run_vectorised<span_kelvin::fill>(bits, doubts, low, high, static_cast<float>(c.r),
                                                        static_cast<float>(c.o), &any);
        return any != 0;
    }
};

// Kelvin of every raw value for the last (R, O) used.
using KelvinTable = lep3::control::RawValueTable<Calibration, KelvinOfRaw>;

KelvinTable kelvin_table;

// The palettes the radiometric colouring offers; the other numbers colour through fusion.
const uint8_t *kelvin_palette(uint32_t palette)
{
    switch (palette) {
    case 1:
        return RGB24_pallette_rainbow_256;
    case 3:
        return RGB24_pallette_icefire_256;
    case 4:
        return RGB24_pallette_ironblack_256;
    default:
        return RGB24_pallette_fusion_256;
    }
}

// Index of t in [min, max]: (t - min) * 255 / (max - min) in single precision, truncated
// towards zero, low 8 bits kept; a negative value or NaN gives 0. Every t reaching here
// lies inside the range (automatic mode found it, held mode clamped to it), and float
// rounding is monotonic, so the quotient is at most 255 and a hair, NaN (0 / 0, inf / inf)
// or, when 255 (t - min) overflows, infinite. Capping at 255 before the conversion gives
// the same byte as a saturating conversion for all of these and keeps the loop free of
// branches so it vectorises.
uint8_t index_in_range(float t, float min, float max)
{
    constexpr float kTopIndex = 255.0F;
    const float v = (t - min) * kTopIndex / (max - min);
    return v > 0.0F ? static_cast<uint8_t>(static_cast<int32_t>(v < kTopIndex ? v : kTopIndex)) : uint8_t{0};
}

struct TempRange {
    float max;
    float min;
};

// The frame's range as one scan in pixel order finds it: a maximum from 0.0 replaced by
// every strictly greater value and a minimum from 1000.0 replaced by every strictly
// smaller one (NaN never replaces). Interleaved running pairs, one per vector lane, break
// the dependency chain of one compare per pixel; combined, they find the same values,
// since the strict-comparison extremes of a set don't depend on the order. Only the sign
// of a zero minimum does (the first of 0.0 and -0.0 met wins), so that case is settled
// by a scan in order.
TempRange scan_range(const float *temps)
{
    constexpr float kMaxStart = 0.0F;
    constexpr float kMinStart = 1000.0F;
    constexpr size_t kLanes = 4;
    constexpr size_t kStep = 2 * kLanes; // two vectors a step keep two chains in flight
    using Lanes = float __attribute__((vector_size(kLanes * sizeof(float))));
    static_assert(kFramePixels % kStep == 0);
    Lanes hi0 = Lanes{} + kMaxStart;
    Lanes hi1 = hi0;
    Lanes lo0 = Lanes{} + kMinStart;
    Lanes lo1 = lo0;
    for (size_t i = 0; i < kFramePixels; i += kStep) {
        Lanes t0;
        Lanes t1;
        std::memcpy(&t0, temps + i, sizeof(t0));
        std::memcpy(&t1, temps + i + kLanes, sizeof(t1));
        hi0 = t0 > hi0 ? t0 : hi0;
        hi1 = t1 > hi1 ? t1 : hi1;
        lo0 = t0 < lo0 ? t0 : lo0;
        lo1 = t1 < lo1 ? t1 : lo1;
    }
    std::array<float, kStep> hi;
    std::array<float, kStep> lo;
    std::memcpy(hi.data(), &hi0, sizeof(hi0));
    std::memcpy(hi.data() + kLanes, &hi1, sizeof(hi1));
    std::memcpy(lo.data(), &lo0, sizeof(lo0));
    std::memcpy(lo.data() + kLanes, &lo1, sizeof(lo1));
    TempRange range{kMaxStart, kMinStart};
    for (size_t k = 0; k < kStep; ++k) {
        if (hi[k] > range.max)
            range.max = hi[k];
        if (lo[k] < range.min)
            range.min = lo[k];
    }
    if (range.min == 0.0F) {
        range.min = kMinStart;
        for (size_t i = 0; i < kFramePixels; ++i)
            if (temps[i] < range.min)
                range.min = temps[i];
    }
    return range;
}

} // namespace

extern "C" LEP3_API uint32_t LEP3_GetCenterPixel(const uint16_t *raw)
{
    // The 6 x 6 block around the centre (row 60, column 80 is its fourth row and column).
    constexpr size_t kBlock = 6;
    constexpr size_t kFirstRow = 57;
    constexpr size_t kFirstCol = 77;
    uint32_t sum = 0;
    for (size_t y = kFirstRow; y < kFirstRow + kBlock; ++y)
        for (size_t x = kFirstCol; x < kFirstCol + kBlock; ++x)
            sum += raw[y * kFrameWidth + x];
    return sum / (kBlock * kBlock);
}

extern "C" LEP3_API float LEP3_GetPixelTemp(uint32_t pixel, uint32_t r, uint32_t o)
{
    // An integer quotient here, unlike the frame conversion. A raw value equal to O has
    // an unbounded quotient: ln of it is infinite and the temperature 0 K, as the frame
    // conversion gives for the same value.
    const uint32_t d = pixel - o;
    const uint32_t q = d == 0 ? 0 : r / d;
    const double x = d == 0 ? INFINITY : static_cast<double>(q + 1U);
    const auto kelvin = static_cast<float>(kRadiometricB / std::log(x));
    return static_cast<float>(static_cast<double>(kelvin) - kZeroCelsiusInKelvin);
}

extern "C" LEP3_API int LEP3_LuxToKelvin(const uint16_t *raw, float *temps, int32_t r, int32_t o)
{
    if (raw == nullptr || temps == nullptr) {
        lep3::console::put_line("Image point is NULL");
        return -1;
    }
    if (kelvin_table.try_take()) {
        kelvin_table.convert(raw, temps, Calibration{r, o});
        kelvin_table.release();
        return 0;
    }
    const auto rf = static_cast<float>(r);
    const auto of = static_cast<float>(o);
    for (size_t i = 0; i < kFramePixels; ++i)
        temps[i] = raw_to_kelvin(raw[i], rf, of);
    return 0;
}

extern "C" LEP3_API int LEP3_KelvinToCelsius(float *temps)
{
    if (temps == nullptr) {
        lep3::console::put_line("Image point is NULL");
        return -1;
    }
    for (size_t i = 0; i < kFramePixels; ++i)
        temps[i] = static_cast<float>(static_cast<double>(temps[i]) - kZeroCelsiusInKelvin);
    return 0;
}

extern "C" LEP3_API int LEP3_KelvinToRGB(const float *temps, uint8_t *rgb24, uint32_t palette, float *maxOut,
                                         uint16_t *minOut, uint8_t holdRange)
{
    std::array<uint8_t, kFramePixels> index{};
    float max = 0.0F;
    float min = 1000.0F;
    if (holdRange == 0) {
        held_temp_max = 0.0F;
        const TempRange range = scan_range(temps);
        max = range.max;
        min = range.min;
        held_temp_max = max;
        held_temp_min = min;
        for (size_t i = 0; i < kFramePixels; ++i)
            index[i] = index_in_range(temps[i], min, max);
    } else {
        max = held_temp_max;
        min = held_temp_min;
        for (size_t i = 0; i < kFramePixels; ++i) {
            const float below_max = temps[i] > max ? max : temps[i];
            index[i] = index_in_range(below_max < min ? min : below_max, min, max);
        }
    }
    *maxOut = max;
    *minOut = static_cast<uint16_t>(truncate_to_unsigned(min));
    if (palette > lep3::render::kMaxPaletteNumber)
        return -3;
    lep3::render::colourise(index.data(), rgb24,
                            lep3::render::PaletteView(kelvin_palette(palette), lep3::render::kPaletteBytes));
    return 0;
}
