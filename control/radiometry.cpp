// Raw values to temperatures, and temperature frames to colour.
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

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

// The fixed RBFO constants B and F of T = B / ln(R / (S - O) + F).
constexpr double kRadiometricB = 1428.0;
constexpr float kRadiometricF = 1.0F;
constexpr double kZeroCelsiusInKelvin = 273.15;

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
// one below) into bits[first ..]; doubts[v / kLanes] says whether any of a group's lanes
// is in doubt, and any whether any group is.
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

// The frame's smallest and largest raw value.
[[gnu::always_inline]] inline void span(const uint16_t *raw, uint32_t *low, uint32_t *high)
{
    uint16_t lo = UINT16_MAX;
    uint16_t hi = 0;
    for (size_t i = 0; i < kFramePixels; ++i) {
        lo = std::min(lo, raw[i]);
        hi = std::max(hi, raw[i]);
    }
    *low = lo;
    *high = hi;
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

// Kelvin of every raw value for the last (R, O) used, filled in as values are met, so a
// stream of frames with one calibration takes a logarithm once per distinct value instead
// of once per pixel. Entries hold the float's bits; a NaN pattern that no arithmetic
// produces (operations on non-NaN inputs give the default NaN) marks an entry not yet
// computed. One table serves the whole process, in static storage: a call takes it when
// it is free, rekeying it to its own (R, O) if need be, and a call that finds it taken by
// another thread computes its frame pixel by pixel instead, so no caller waits and every
// result is the formula's.
class KelvinTable {
  public:
    static constexpr size_t kRawValues = 65536;

    // True when this thread now owns the table; release() gives it back.
    bool try_take() { return !busy_.test_and_set(std::memory_order_acquire); }
    void release() { busy_.clear(std::memory_order_release); }

    // The table's owner converts a frame, computing the entries it lacks. After a change
    // of calibration every value is new: one pass computes each as it is met. Otherwise the
    // frame is copied from the table as it stands, a load and a store per pixel that
    // vectorise (with gathers where the processor has them), and only a frame that met an
    // unknown entry takes a second pass to fill those pixels.
    void convert(const uint16_t *raw, float *temps, int32_t r, int32_t o)
    {
        if (!keyed_ || r != r_ || o != o_) {
            // A frame whose values lie within a span a few times the number of pixels (any
            // 14-bit frame) has the whole span computed in vector lanes, then copied as
            // below; a frame spread wider has each value it meets computed as it is met.
            uint32_t low = 0;
            uint32_t high = 0;
            lep3::render::run_vectorised<span_kelvin::span>(raw, &low, &high);
            if (high - low >= kDenseSpan) {
                rekey(r, o, 1, 0);
                fill_unknown(raw, temps, false);
                return;
            }
            low -= low % span_kelvin::kLanes;
            high |= span_kelvin::kLanes - 1;
            rekey(r, o, low, high);
            const auto rf = static_cast<float>(r);
            const auto of = static_cast<float>(o);
            uint32_t any_doubt = 0;
            lep3::render::run_vectorised<span_kelvin::fill>(bits_.data(), doubts_.data(), low, high, rf, of,
                                                            &any_doubt);
            if (any_doubt != 0)
                settle_doubts(low, high, rf, of);
            note_filled(low, high);
        }
        uint32_t top = 0;
        lep3::render::run_vectorised<copy_entries>(bits_.data(), raw, temps, &top);
        if (top == kUnknown)
            fill_unknown(raw, temps, true);
    }

  private:
    static constexpr uint32_t kUnknown = 0xFFFFFFFFU;

    // Every pixel's entry as it stands; top receives the largest entry's bits, which is
    // kUnknown when any pixel met an unknown one.
    [[gnu::always_inline]] static inline void copy_entries(const uint32_t *bits, const uint16_t *raw, float *temps,
                                                           uint32_t *top)
    {
        uint32_t largest = 0;
#pragma GCC unroll 8
        for (size_t i = 0; i < kFramePixels; ++i) {
            const uint32_t entry = bits[raw[i]];
            std::memcpy(&temps[i], &entry, sizeof(entry));
            largest = entry > largest ? entry : largest;
        }
        *top = largest;
    }

    // Computes the entries that pixels lack. With copied, only pixels whose copy is
    // unknown are looked at again; otherwise every pixel is taken from the table.
    void fill_unknown(const uint16_t *raw, float *temps, bool copied)
    {
        for (size_t i = 0; i < kFramePixels; ++i) {
            if (copied && std::bit_cast<uint32_t>(temps[i]) != kUnknown)
                continue;
            uint32_t entry = bits_[raw[i]];
            if (entry == kUnknown)
                entry = fill(raw[i]);
            std::memcpy(&temps[i], &entry, sizeof(entry));
        }
    }

    uint32_t fill(uint16_t raw)
    {
        const float kelvin = raw_to_kelvin(raw, static_cast<float>(r_), static_cast<float>(o_));
        uint32_t bits = 0;
        std::memcpy(&bits, &kelvin, sizeof(bits));
        bits_[raw] = bits;
        note_filled(raw, raw);
        return bits;
    }

    // The groups the vector lanes left in doubt, from the formula itself: the values at
    // and below O (no positive u), and now and then one whose float rounding they couldn't
    // settle.
    void settle_doubts(uint32_t low, uint32_t high, float r, float o)
    {
        for (uint32_t v = low; v <= high; v += span_kelvin::kLanes) {
            if (doubts_[v / span_kelvin::kLanes] == 0)
                continue;
            for (uint32_t i = v; i < v + span_kelvin::kLanes; ++i)
                bits_[i] = std::bit_cast<uint32_t>(raw_to_kelvin(static_cast<uint16_t>(i), r, o));
        }
    }

    void note_filled(uint32_t low, uint32_t high)
    {
        filled_low_ = std::min(filled_low_, low);
        filled_high_ = std::max(filled_high_, high);
    }

    // A new calibration forgets the entries of the old one: the span they lie in (a scene
    // spans a few thousand raw values), marked unknown in sweeps of stores, except the part
    // [keep_low, keep_high] that is about to be computed afresh (keep_low > keep_high:
    // none). The very first key finds the table all zero and marks it unknown whole, once.
    void rekey(int32_t r, int32_t o, uint32_t keep_low, uint32_t keep_high)
    {
        const auto forget = [this](uint32_t from, uint32_t to) { // [from, to)
            if (from < to)
                std::fill(bits_.begin() + from, bits_.begin() + to, kUnknown);
        };
        if (!keyed_) {
            bits_.fill(kUnknown);
        } else if (keep_low > keep_high) {
            forget(filled_low_, filled_high_ + 1);
        } else {
            forget(filled_low_, std::min(filled_high_ + 1, keep_low));
            forget(std::max(filled_low_, keep_high + 1), filled_high_ + 1);
        }
        filled_low_ = kRawValues;
        filled_high_ = 0;
        r_ = r;
        o_ = o;
        keyed_ = true;
    }

    // Widest span of raw values computed whole after a change of calibration.
    static constexpr uint32_t kDenseSpan = 32768;
    std::atomic_flag busy_;
    std::array<uint32_t, kRawValues> bits_{};
    std::array<uint8_t, kRawValues / span_kelvin::kLanes> doubts_{}; // scratch of the vector lanes' fill
    uint32_t filled_low_ = kRawValues; // entries outside [low, high] are unknown
    uint32_t filled_high_ = 0;
    int32_t r_ = 0;
    int32_t o_ = 0;
    bool keyed_ = false;
};

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
        kelvin_table.convert(raw, temps, r, o);
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
