#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "lep3.h"
#include "render/naive_reference.h"
#include "render/palette_setup.h"

namespace {

constexpr size_t kPixels = 19200;
using RawFrame = std::array<uint16_t, kPixels>;
using Temps = std::array<float, kPixels>;
using Rgb = std::array<uint8_t, 3>;

uint32_t bits(float f)
{
    uint32_t b = 0;
    std::memcpy(&b, &f, sizeof(b));
    return b;
}

bool same_float(float a, float b)
{
    return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b));
}

TEST(CenterPixel, MeanOfTheSixBySixBlockTruncated)
{
    RawFrame raw;
    raw.fill(8000);
    EXPECT_EQ(LEP3_GetCenterPixel(raw.data()), 8000U);
    raw.fill(60000); // outside rows 57..62 and columns 77..82: not counted
    for (size_t y = 57; y <= 62; ++y)
        for (size_t x = 77; x <= 82; ++x)
            raw[y * 160 + x] = 100;
    raw[60 * 160 + 80] = 135; // sum 36 x 100 + 35
    EXPECT_EQ(LEP3_GetCenterPixel(raw.data()), 100U);
}

TEST(PixelTemp, IntegerQuotientWrapAndEqualRawValue)
{
    // q = 347000 / 3000 = 115, not 115.67: about 27.25 degrees, rounded through a float.
    const auto k = static_cast<float>(1428.0 / std::log(116.0));
    EXPECT_EQ(LEP3_GetPixelTemp(4000, 347000, 1000), static_cast<float>(static_cast<double>(k) - 273.15));
    EXPECT_NEAR(LEP3_GetPixelTemp(4000, 347000, 1000), 27.25F, 0.01F);
    EXPECT_NEAR(LEP3_GetPixelTemp(348000, 347000, 1000), 1787.02F, 0.01F); // q = 1
    // Below O the difference wraps: q = 0, ln(1) = 0, +infinity.
    EXPECT_EQ(LEP3_GetPixelTemp(500, 347000, 1000), std::numeric_limits<float>::infinity());
    // Equal to O: an unbounded quotient, 0 K.
    EXPECT_EQ(LEP3_GetPixelTemp(1000, 347000, 1000), -273.15F);
}

TEST(LuxToKelvin, WorkedNumberAndNullPointers)
{
    RawFrame raw;
    raw.fill(4000);
    Temps temps{};
    EXPECT_EQ(LEP3_LuxToKelvin(raw.data(), temps.data(), 347000, 1000), 0);
    EXPECT_NEAR(temps[0], 300.04F, 0.01F);
    EXPECT_NEAR(temps[kPixels - 1] - 273.15F, 26.89F, 0.01F);

    Temps untouched;
    untouched.fill(1.5F);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(LEP3_LuxToKelvin(nullptr, untouched.data(), 1, 1), -1);
    EXPECT_EQ(LEP3_LuxToKelvin(raw.data(), nullptr, 1, 1), -1);
    EXPECT_EQ(LEP3_KelvinToCelsius(nullptr), -1);
    (void)std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Image point is NULL\nImage point is NULL\nImage point is NULL\n");
    EXPECT_EQ(untouched[0], 1.5F);
}

// Frames that between them hold every 16-bit raw value, in a scrambled order.
std::vector<RawFrame> every_raw_value()
{
    std::vector<uint16_t> values(65536);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<uint16_t>(i);
    std::shuffle(values.begin(), values.end(), std::mt19937(29));
    std::vector<RawFrame> frames((values.size() + kPixels - 1) / kPixels);
    for (size_t i = 0; i < frames.size() * kPixels; ++i)
        frames[i / kPixels][i % kPixels] = values[i % values.size()];
    return frames;
}

// Converts the frames with (r, o) twice (filling, then reading any cached results) and
// counts the pixels that differ from the per-pixel formula.
size_t mismatches(const std::vector<RawFrame> &frames, int32_t r, int32_t o)
{
    size_t wrong = 0;
    Temps temps;
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto &raw : frames) {
            LEP3_LuxToKelvin(raw.data(), temps.data(), r, o);
            for (size_t i = 0; i < kPixels; ++i)
                wrong += same_float(temps[i], lep3::naive::lux_to_kelvin(raw[i], r, o)) ? 0 : 1;
        }
    }
    return wrong;
}

TEST(LuxToKelvin, BitIdenticalToThePerPixelFormulaForEveryRawValue)
{
    const auto frames = every_raw_value();
    // Typical calibrations, O inside the raw domain (0 K at O, NaN below), a negative R,
    // O at the domain's top, and a return to the first pair.
    for (const auto &[r, o] : std::vector<std::pair<int32_t, int32_t>>{
             {347000, 1000}, {264000, 0}, {600000, 8192}, {-5000, 300}, {1, 65535}, {347000, 1000}})
        EXPECT_EQ(mismatches(frames, r, o), 0U) << "R " << r << " O " << o;
}

TEST(LuxToKelvin, ThreadsWithDifferentCalibrationsGetTheirOwnResults)
{
    const auto frames = every_raw_value();
    size_t wrong_a = 1;
    size_t wrong_b = 1;
    std::thread a([&] { wrong_a = mismatches(frames, 347000, 1000) + mismatches(frames, 500000, 2000); });
    std::thread b([&] { wrong_b = mismatches(frames, 500000, 2000) + mismatches(frames, 347000, 1000); });
    a.join();
    b.join();
    EXPECT_EQ(wrong_a, 0U);
    EXPECT_EQ(wrong_b, 0U);
}

TEST(KelvinToCelsius, SubtractsInDoublePrecision)
{
    Temps temps{};
    temps[0] = 300.0F;
    temps[2] = 273.15F;
    EXPECT_EQ(LEP3_KelvinToCelsius(temps.data()), 0);
    EXPECT_EQ(temps[0], 26.85F);
    EXPECT_EQ(temps[1], -273.15F);
    EXPECT_NE(temps[2], 0.0F); // the float nearest 273.15 is not 273.15
    EXPECT_NEAR(temps[2], -0.0000061F, 0.0000005F);
    EXPECT_EQ(temps[kPixels - 1], -273.15F);
}

class KelvinToRGB : public ::testing::Test {
  protected:
    void SetUp() override { lep3::test::fill_exported_palettes(); }

    // Pixels 0..3 at 290, 310, 300 and 305; the rest at 295.
    static Temps scene()
    {
        Temps t;
        t.fill(295.0F);
        t[0] = 290.0F;
        t[1] = 310.0F;
        t[2] = 300.0F;
        t[3] = 305.0F;
        return t;
    }
    static Rgb at(const uint8_t *p, size_t i) { return {p[3 * i], p[3 * i + 1], p[3 * i + 2]}; }

    std::vector<uint8_t> rgb = std::vector<uint8_t>(kPixels * 3, 0xEE);
    float max = -1.0F;
    uint16_t min = 1;
};

TEST_F(KelvinToRGB, AutomaticRangeWorkedNumbersThenHeldRange)
{
    const Temps t = scene();
    EXPECT_EQ(LEP3_KelvinToRGB(t.data(), rgb.data(), 0, &max, &min, 0), 0);
    EXPECT_EQ(max, 310.0F);
    EXPECT_EQ(min, 290);
    const uint8_t *fusion = RGB24_pallette_fusion_256;
    EXPECT_EQ(at(rgb.data(), 0), at(fusion, 0));
    EXPECT_EQ(at(rgb.data(), 1), at(fusion, 255));
    EXPECT_EQ(at(rgb.data(), 2), at(fusion, 127));
    EXPECT_EQ(at(rgb.data(), 3), at(fusion, 191)); // 191.25 truncated

    Temps wider;
    wider.fill(300.0F);
    wider[0] = 280.0F;
    wider[1] = 320.0F;
    EXPECT_EQ(LEP3_KelvinToRGB(wider.data(), rgb.data(), 4, &max, &min, 1), 0);
    const uint8_t *ironblack = RGB24_pallette_ironblack_256;
    EXPECT_EQ(at(rgb.data(), 0), at(ironblack, 0));
    EXPECT_EQ(at(rgb.data(), 1), at(ironblack, 255));
    EXPECT_EQ(at(rgb.data(), 2), at(ironblack, 127));
    EXPECT_EQ(max, 310.0F);
    EXPECT_EQ(held_temp_min, 290.0F);
}

TEST_F(KelvinToRGB, HeldRangeBeforeAnyAutomaticCallAndHostWrittenRanges)
{
    const Temps t = scene();
    EXPECT_EQ(LEP3_KelvinToRGB(t.data(), rgb.data(), 1, &max, &min, 1), 0);
    for (size_t i = 0; i < kPixels; ++i)
        ASSERT_EQ(at(rgb.data(), i), at(RGB24_pallette_rainbow_256, 0));
    EXPECT_EQ(max, 0.0F);
    EXPECT_EQ(min, 1000);

    held_temp_max = 80000.0F;
    held_temp_min = 70000.0F; // 0x11170: the low 16 bits are reported
    Temps warm;
    warm.fill(75000.0F);
    LEP3_KelvinToRGB(warm.data(), rgb.data(), 0, &max, &min, 1);
    EXPECT_EQ(min, 0x1170);
    EXPECT_EQ(at(rgb.data(), 0), at(RGB24_pallette_fusion_256, 127));
}

TEST_F(KelvinToRGB, RangeStartsAtZeroAndAThousand)
{
    Temps cold;
    cold.fill(-5.0F);
    cold[7] = -40.0F;
    LEP3_KelvinToRGB(cold.data(), rgb.data(), 3, &max, &min, 0);
    EXPECT_EQ(max, 0.0F);
    EXPECT_EQ(held_temp_min, -40.0F);
    EXPECT_EQ(min, 0); // a negative minimum truncates to 0

    Temps hot;
    hot.fill(1500.0F);
    hot[9] = 2000.0F;
    LEP3_KelvinToRGB(hot.data(), rgb.data(), 3, &max, &min, 0);
    EXPECT_EQ(max, 2000.0F);
    EXPECT_EQ(min, 1000);

    Temps flat; // a degenerate range: every pixel takes entry 0
    flat.fill(300.0F);
    LEP3_KelvinToRGB(flat.data(), rgb.data(), 1, &max, &min, 0);
    for (size_t i = 0; i < kPixels; ++i)
        ASSERT_EQ(at(rgb.data(), i), at(RGB24_pallette_rainbow_256, 0));
}

// Scenes with NaNs, signed zeros, infinities and values outside 0..1000 at random places:
// the range, down to the sign of a zero minimum, and every colour as one ordered scan
// gives them.
TEST_F(KelvinToRGB, RangeAndColoursMatchAnOrderedScan)
{
    std::mt19937 rng(31);
    std::uniform_real_distribution<float> spread(-50.0F, 1200.0F);
    const float specials[] = {0.0F, -0.0F, std::numeric_limits<float>::quiet_NaN(), 1000.0F,
                              std::numeric_limits<float>::infinity()};
    std::vector<uint8_t> slow(kPixels * 3);
    for (int round = 0; round < 60; ++round) {
        Temps t;
        const float base = std::abs(spread(rng));
        for (auto &v : t)
            v = round % 2 ? base + static_cast<float>(rng() % 100) * 0.25F : spread(rng);
        for (int k = 0; k < round % 7; ++k)
            t[rng() % kPixels] = specials[rng() % (round % 5 == 4 ? 5 : 4)];
        float ref_max = 0;
        float ref_min = 0;
        LEP3_KelvinToRGB(t.data(), rgb.data(), 0, &max, &min, 0);
        lep3::naive::kelvin_to_rgb_auto(t.data(), slow.data(), RGB24_pallette_fusion_256, ref_max, ref_min);
        ASSERT_EQ(bits(held_temp_max), bits(ref_max)) << round;
        ASSERT_EQ(bits(held_temp_min), bits(ref_min)) << round;
        ASSERT_EQ(rgb, slow) << round;
    }
    // A zero minimum keeps the sign of the first zero met, wherever the two lie.
    for (bool negative_first : {false, true}) {
        Temps t;
        t.fill(300.0F);
        t[50] = negative_first ? -0.0F : 0.0F;
        t[97] = negative_first ? 0.0F : -0.0F;
        LEP3_KelvinToRGB(t.data(), rgb.data(), 0, &max, &min, 0);
        EXPECT_EQ(std::signbit(held_temp_min), negative_first);
    }
}

TEST_F(KelvinToRGB, OwnPaletteNumberingAndRejectedNumbers)
{
    const Temps t = scene();
    const uint8_t *fusion = RGB24_pallette_fusion_256;
    const uint8_t *expected[] = {fusion,
                                 RGB24_pallette_rainbow_256,
                                 fusion,
                                 RGB24_pallette_icefire_256,
                                 RGB24_pallette_ironblack_256,
                                 fusion,
                                 fusion,
                                 fusion,
                                 fusion,
                                 fusion,
                                 fusion};
    for (uint32_t p = 0; p <= 10; ++p) {
        LEP3_KelvinToRGB(t.data(), rgb.data(), p, &max, &min, 0);
        EXPECT_EQ(at(rgb.data(), 3), at(expected[p], 191)) << p;
        EXPECT_EQ(at(rgb.data(), kPixels - 1), at(expected[p], 63)) << p; // (295 - 290) * 255 / 20
    }
    // Above 10: the range is found, held and reported, the image left alone.
    std::vector<uint8_t> untouched(kPixels * 3, 0xEE);
    held_temp_max = 0.0F;
    max = 0.0F;
    min = 0;
    EXPECT_EQ(LEP3_KelvinToRGB(t.data(), untouched.data(), 11, &max, &min, 0), -3);
    EXPECT_EQ(max, 310.0F);
    EXPECT_EQ(min, 290);
    EXPECT_EQ(held_temp_max, 310.0F);
    EXPECT_TRUE(std::all_of(untouched.begin(), untouched.end(), [](uint8_t b) { return b == 0xEE; }));
}

} // namespace
