// Plain, obviously-correct versions of the optimised conversions, written straight from
// their rules. Tests compare the library against them; benchmarks time both in one run.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace lep3::naive {

constexpr size_t kWidth = 160;
constexpr size_t kHeight = 120;
constexpr size_t kPixels = kWidth * kHeight;

// Median of each interior 3 x 3 neighbourhood by sorting all nine values; then row 0 and
// row 119 copy rows 1 and 118, and columns 0 and 159 copy columns 1 and 158.
inline void median3x3(const uint8_t *src, uint8_t *dst)
{
    std::array<uint8_t, kPixels> work;
    std::memcpy(work.data(), src, kPixels);
    for (size_t y = 1; y + 1 < kHeight; ++y) {
        for (size_t x = 1; x + 1 < kWidth; ++x) {
            std::array<uint8_t, 9> nine;
            size_t n = 0;
            for (size_t dy = 0; dy < 3; ++dy)
                for (size_t dx = 0; dx < 3; ++dx)
                    nine[n++] = src[(y + dy - 1) * kWidth + x + dx - 1];
            std::sort(nine.begin(), nine.end());
            work[y * kWidth + x] = nine[4];
        }
    }
    for (size_t x = 1; x + 1 < kWidth; ++x) {
        work[x] = work[kWidth + x];
        work[(kHeight - 1) * kWidth + x] = work[(kHeight - 2) * kWidth + x];
    }
    for (size_t y = 0; y < kHeight; ++y) {
        work[y * kWidth] = work[y * kWidth + 1];
        work[y * kWidth + kWidth - 1] = work[y * kWidth + kWidth - 2];
    }
    std::memcpy(dst, work.data(), kPixels);
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
    uint32_t held_max = 0;
    uint32_t held_min = 0xFFFF;

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
    for (size_t i = 0; i < kPixels; ++i)
        for (size_t c = 0; c < 3; ++c)
            rgb24[3 * i + c] = table[size_t{3} * (first + gray8[i] / divisor) + c];
}

// Palette lookup over the whole palette.
inline void colourise(const uint8_t *gray8, uint8_t *rgb24, const uint8_t *table)
{
    colourise_range(gray8, rgb24, table, 0, 1);
}

// Raw value to kelvin: the quotient and the sum in single precision, the logarithm in double.
inline float lux_to_kelvin(uint16_t raw, int32_t r, int32_t o)
{
    const float rf = static_cast<float>(r);
    const float of = static_cast<float>(o);
    const float u = rf / (static_cast<float>(raw) - of) + 1.0f;
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
        if (temps[i] > max)
            max = temps[i];
        if (temps[i] < min)
            min = temps[i];
    }
    for (size_t i = 0; i < kPixels; ++i) {
        const float v = (temps[i] - min) * 255.0F / (max - min);
        const uint8_t index = v > 0.0F ? static_cast<uint8_t>(static_cast<uint32_t>(v)) : 0;
        for (size_t c = 0; c < 3; ++c)
            rgb24[3 * i + c] = table[size_t{3} * index + c];
    }
}

} // namespace lep3::naive
