// Plain, obviously-correct versions of the optimised conversions, written straight from
// their rules. Tests compare the library against them; benchmarks time both in one run.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

namespace lep3::naive {

constexpr size_t kWidth = 160, kHeight = 120, kPixels = kWidth * kHeight;

// Median of each interior 3 x 3 neighbourhood by sorting all nine values; then row 0 and
// row 119 copy rows 1 and 118, and columns 0 and 159 copy columns 1 and 158, so that each
// border pixel takes the nearest interior result.
inline void median3x3(const uint8_t *src, uint8_t *dst)
{
    std::array<uint8_t, kPixels> w{};
    for (size_t y = 1; y + 1 < kHeight; ++y)
        for (size_t x = 1; x + 1 < kWidth; ++x) {
            std::array<uint8_t, 9> nine;
            for (size_t n = 0; n < 9; ++n)
                nine[n] = src[(y + n / 3 - 1) * kWidth + x + n % 3 - 1];
            std::sort(nine.begin(), nine.end());
            w[y * kWidth + x] = nine[4];
        }
    for (size_t i = 0; i < kPixels; ++i)
        dst[i] =
            w[std::clamp<size_t>(i / kWidth, 1, kHeight - 2) * kWidth + std::clamp<size_t>(i % kWidth, 1, kWidth - 2)];
}

// One pixel of the stretch over max > min, clamped to the range.
inline uint8_t stretch_pixel(uint32_t p, uint32_t max, uint32_t min)
{
    p = std::min(p, max);
    return p < min ? 0 : static_cast<uint8_t>((p - min) * 255 / (max - min));
}

// Stretch over max..min (clamped) then median; a flat range scales max against 14 bits.
inline void user_range(const uint16_t *raw, uint8_t *gray8, uint32_t max, uint32_t min)
{
    std::array<uint8_t, kPixels> stretch;
    for (size_t i = 0; i < kPixels; ++i)
        stretch[i] = min < max ? stretch_pixel(raw[i], max, min) : static_cast<uint8_t>(max * 255 / 16383);
    median3x3(stretch.data(), gray8);
}

// The whole raw-to-grey conversion, with the held range kept by the caller. Clamping
// changes nothing over the frame's own range, so the automatic case is a user range too.
struct Gray8Converter {
    uint32_t held_max = 0, held_min = 0xFFFF;

    void convert(const uint16_t *raw, uint8_t *gray8, uint16_t *maxOut, uint16_t *minOut, bool hold)
    {
        if (!hold) {
            const auto [lo, hi] = std::minmax_element(raw, raw + kPixels);
            held_max = *hi;
            held_min = *lo;
        }
        user_range(raw, gray8, held_max, held_min);
        *maxOut = static_cast<uint16_t>(held_max);
        *minOut = static_cast<uint16_t>(held_min);
    }
};

// Span-driven colouring with the range already decided: entry first + g / divisor.
inline void colourise_range(const uint8_t *gray8, uint8_t *rgb24, const uint8_t *table, unsigned first,
                            unsigned divisor)
{
    for (size_t i = 0; i < 3 * kPixels; ++i)
        rgb24[i] = table[3 * (first + gray8[i / 3] / divisor) + i % 3];
}

// Palette lookup over the whole palette.
inline void colourise(const uint8_t *gray8, uint8_t *rgb24, const uint8_t *table)
{
    colourise_range(gray8, rgb24, table, 0, 1);
}

// Raw value to kelvin: the quotient and the sum in single precision, the logarithm in double.
inline float lux_to_kelvin(uint16_t raw, int32_t r, int32_t o)
{
    const float u = static_cast<float>(r) / (static_cast<float>(raw) - static_cast<float>(o)) + 1.0f;
    return static_cast<float>(1428.0 / std::log(static_cast<double>(u)));
}

inline void lux_to_kelvin_frame(const uint16_t *raw, float *temps, int32_t r, int32_t o)
{
    for (size_t i = 0; i < kPixels; ++i)
        temps[i] = lux_to_kelvin(raw[i], r, o);
}

// Temperature colouring over the frame's own range: scan, index in single precision,
// look up.
inline void kelvin_to_rgb_auto(const float *temps, uint8_t *rgb24, const uint8_t *table, float &max, float &min)
{
    max = 0.0F;
    min = 1000.0F;
    for (size_t i = 0; i < kPixels; ++i) {
        max = temps[i] > max ? temps[i] : max;
        min = temps[i] < min ? temps[i] : min;
    }
    for (size_t i = 0; i < 3 * kPixels; ++i) {
        const float v = (temps[i / 3] - min) * 255.0F / (max - min);
        rgb24[i] = table[3 * (v > 0.0F ? static_cast<uint8_t>(static_cast<uint32_t>(v)) : 0) + i % 3];
    }
}

} // namespace lep3::naive
