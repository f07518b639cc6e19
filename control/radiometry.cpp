// Raw values to temperatures, and temperature frames to colour.
#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "control/control_internal.h"
#include "control/kelvin_span.h"
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
    static bool fill_span(uint32_t *bits, uint32_t low, uint32_t high, const Calibration &c)
    {
        return lep3::control::fill_kelvin_span(bits, low, high, static_cast<float>(c.r), static_cast<float>(c.o));
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
