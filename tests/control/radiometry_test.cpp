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

#include "control/radiometry_internal.h"
#include "lep3.h"
#include "render/naive_reference.h"
#include "render/palette_setup.h"

namespace {

constexpr size_t kPixels = 19200;
constexpr size_t kWidth = 160;
using RawFrame = std::array<uint16_t, kPixels>;
using Temps = std::array<float, kPixels>;

uint32_t bits(float f)
{
    uint32_t b = 0;
    std::memcpy(&b, &f, sizeof(b));
    return b;
}

TEST(CenterPixel, MeanOfTheSixBySixBlockTruncated)
{
    RawFrame raw;
    raw.fill(8000);
    EXPECT_EQ(LEP3_GetCenterPixel(raw.data()), 8000U);

    // Values outside rows 57..62 and columns 77..82 don't count.
    raw.fill(60000);
    for (size_t y = 57; y <= 62; ++y)
        for (size_t x = 77; x <= 82; ++x)
            raw[y * kWidth + x] = 100;
    raw[60 * kWidth + 80] = 135; // 36 x 100 + 35
    EXPECT_EQ(LEP3_GetCenterPixel(raw.data()), 100U);
}

TEST(PixelTemp, UsesTheIntegerQuotient)
{
    // q = 347000 / 3000 = 115, not 115.67: about 27.25 degrees.
    EXPECT_NEAR(LEP3_GetPixelTemp(4000, 347000, 1000), 27.25F, 0.01F);
    const auto k = static_cast<float>(1428.0 / std::log(116.0));
    EXPECT_EQ(LEP3_GetPixelTemp(4000, 347000, 1000), static_cast<float>(static_cast<double>(k) - 273.15));
    // pixel - O = R: q = 1, about 1787.02 degrees.
    EXPECT_NEAR(LEP3_GetPixelTemp(348000, 347000, 1000), 1787.02F, 0.01F);
}

TEST(PixelTemp, DifferenceWrapsAndEqualRawValueGivesAbsoluteZero)
{
    // Below O the unsigned difference wraps; q = 0 and ln(1) = 0 give +infinity.
    EXPECT_EQ(LEP3_GetPixelTemp(500, 347000, 1000), std::numeric_limits<float>::infinity());
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

void expect_bit_identical(const RawFrame &raw, const Temps &temps, int32_t r, int32_t o)
{
    for (size_t i = 0; i < kPixels; ++i) {
        const float expected = lep3::naive::lux_to_kelvin(raw[i], r, o);
        if (std::isnan(expected))
            ASSERT_TRUE(std::isnan(temps[i])) << raw[i];
        else
            ASSERT_EQ(bits(temps[i]), bits(expected)) << "raw " << raw[i] << " R " << r << " O " << o;
    }
}

TEST(LuxToKelvin, CachedTableIsBitIdenticalToThePerPixelFormulaForEveryRawValue)
{
    const auto frames = every_raw_value();
    Temps temps;
    // Typical calibrations, a value of O inside the raw domain (infinite quotient, 0 K,
    // NaN below it), a negative R, and O at the domain's top.
    const std::vector<std::pair<int32_t, int32_t>> pairs = {{347000, 1000}, {264000, 0}, {600000, 8192},
                                                            {-5000, 300},   {1, 65535},  {347000, 1000}};
    for (const auto &[r, o] : pairs) {
        for (int pass = 0; pass < 2; ++pass) { // first fills the table, second reads it
            for (const auto &raw : frames) {
                ASSERT_EQ(LEP3_LuxToKelvin(raw.data(), temps.data(), r, o), 0);
                expect_bit_identical(raw, temps, r, o);
            }
        }
    }
}

TEST(LuxToKelvin, ThreadsWithDifferentCalibrationsDoNotShareResults)
{
    const auto frames = every_raw_value();
    auto worker = [&frames](int32_t r, int32_t o, bool *ok) {
        Temps temps;
        *ok = true;
        for (int round = 0; round < 6; ++round) {
            const RawFrame &raw = frames[static_cast<size_t>(round) % frames.size()];
            LEP3_LuxToKelvin(raw.data(), temps.data(), r, o);
            for (size_t i = 0; i < kPixels; ++i) {
                const float expected = lep3::naive::lux_to_kelvin(raw[i], r, o);
                if (bits(temps[i]) != bits(expected) && !(std::isnan(expected) && std::isnan(temps[i])))
                    *ok = false;
            }
        }
    };
    bool ok_a = false;
    bool ok_b = false;
    std::thread a(worker, 347000, 1000, &ok_a);
    std::thread b(worker, 500000, 2000, &ok_b);
    a.join();
    b.join();
    EXPECT_TRUE(ok_a);
    EXPECT_TRUE(ok_b);
}

TEST(KelvinToCelsius, SubtractsInDoublePrecision)
{
    Temps temps{};
    temps[0] = 300.0F;
    temps[1] = 0.0F;
    temps[2] = 273.15F;
    temps[kPixels - 1] = 310.0F;
    EXPECT_EQ(LEP3_KelvinToCelsius(temps.data()), 0);
    EXPECT_EQ(temps[0], 26.85F);
    EXPECT_EQ(temps[1], -273.15F);
    EXPECT_NE(temps[2], 0.0F);
    EXPECT_NEAR(temps[2], -0.0000061F, 0.0000005F);
    EXPECT_EQ(temps[kPixels - 1], static_cast<float>(310.0 - 273.15));
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

    static std::array<uint8_t, 3> pixel(const std::vector<uint8_t> &rgb, size_t i)
    {
        return {rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]};
    }
    static std::array<uint8_t, 3> entry(const uint8_t *table, size_t j)
    {
        return {table[3 * j], table[3 * j + 1], table[3 * j + 2]};
    }
};

TEST_F(KelvinToRGB, AutomaticRangeWorkedNumbersAndHeldRangeAfterIt)
{
    const Temps t = scene();
    std::vector<uint8_t> rgb(kPixels * 3);
    float max = 0;
    uint16_t min = 0;
    EXPECT_EQ(LEP3_KelvinToRGB(t.data(), rgb.data(), 0, &max, &min, 0), 0);
    EXPECT_EQ(max, 310.0F);
    EXPECT_EQ(min, 290);
    EXPECT_EQ(held_temp_max, 310.0F);
    EXPECT_EQ(held_temp_min, 290.0F);
    EXPECT_EQ(pixel(rgb, 0), entry(RGB24_pallette_fusion_256, 0));
    EXPECT_EQ(pixel(rgb, 1), entry(RGB24_pallette_fusion_256, 255));
    EXPECT_EQ(pixel(rgb, 2), entry(RGB24_pallette_fusion_256, 127));
    EXPECT_EQ(pixel(rgb, 3), entry(RGB24_pallette_fusion_256, 191));

    Temps wider;
    wider.fill(300.0F);
    wider[0] = 280.0F;
    wider[1] = 320.0F;
    EXPECT_EQ(LEP3_KelvinToRGB(wider.data(), rgb.data(), 4, &max, &min, 1), 0);
    EXPECT_EQ(pixel(rgb, 0), entry(RGB24_pallette_ironblack_256, 0));
    EXPECT_EQ(pixel(rgb, 1), entry(RGB24_pallette_ironblack_256, 255));
    EXPECT_EQ(pixel(rgb, 2), entry(RGB24_pallette_ironblack_256, 127));
    EXPECT_EQ(max, 310.0F);
    EXPECT_EQ(min, 290);
    EXPECT_EQ(held_temp_max, 310.0F);
}

TEST_F(KelvinToRGB, HeldModeBeforeAnyAutomaticCallGivesEntryZero)
{
    const Temps t = scene();
    std::vector<uint8_t> rgb(kPixels * 3, 0xEE);
    float max = -1;
    uint16_t min = 0;
    EXPECT_EQ(LEP3_KelvinToRGB(t.data(), rgb.data(), 1, &max, &min, 1), 0);
    for (size_t i = 0; i < kPixels; ++i)
        ASSERT_EQ(pixel(rgb, i), entry(RGB24_pallette_rainbow_256, 0));
    EXPECT_EQ(max, 0.0F);
    EXPECT_EQ(min, 1000);
}

TEST_F(KelvinToRGB, RangeStartsAtZeroAndAThousandAndUniformFramesTakeEntryZero)
{
    std::vector<uint8_t> rgb(kPixels * 3);
    float max = 0;
    uint16_t min = 0;
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
    EXPECT_EQ(pixel(rgb, 9), entry(RGB24_pallette_icefire_256, 255));

    Temps flat;
    flat.fill(300.0F);
    LEP3_KelvinToRGB(flat.data(), rgb.data(), 1, &max, &min, 0);
    for (size_t i = 0; i < kPixels; ++i)
        ASSERT_EQ(pixel(rgb, i), entry(RGB24_pallette_rainbow_256, 0));
}

// Scenes with NaNs, signed zeros and values outside 0..1000 at random places: the range,
// down to the sign of a zero minimum, and every colour as one ordered scan gives them.
TEST_F(KelvinToRGB, RangeAndColoursMatchAnOrderedScan)
{
    std::mt19937 rng(31);
    std::uniform_real_distribution<float> spread(-50.0F, 1200.0F);
    const std::array<float, 6> specials = {0.0F,  -0.0F,   std::numeric_limits<float>::quiet_NaN(),
                                           -0.0F, 1000.0F, std::numeric_limits<float>::infinity()};
    std::vector<uint8_t> fast(kPixels * 3);
    std::vector<uint8_t> slow(kPixels * 3);
    for (int round = 0; round < 60; ++round) {
        Temps t;
        const float base = spread(rng);
        for (auto &v : t)
            v = round % 3 == 0 ? base + static_cast<float>(rng() % 100) * 0.25F : spread(rng);
        for (int k = 0; k < round % 7; ++k)
            t[rng() % kPixels] = specials[static_cast<size_t>(round + k) % (round % 5 == 4 ? 6 : 5)];
        float max = 0;
        uint16_t min = 0;
        float ref_max = 0;
        float ref_min = 0;
        LEP3_KelvinToRGB(t.data(), fast.data(), 0, &max, &min, 0);
        lep3::naive::kelvin_to_rgb_auto(t.data(), slow.data(), RGB24_pallette_fusion_256, ref_max, ref_min);
        ASSERT_EQ(bits(held_temp_max), bits(ref_max)) << round;
        ASSERT_EQ(bits(held_temp_min), bits(ref_min)) << round;
        ASSERT_EQ(fast, slow) << round;
    }
}

TEST_F(KelvinToRGB, ZeroMinimumKeepsTheSignOfTheFirstZeroMet)
{
    std::vector<uint8_t> rgb(kPixels * 3);
    float max = 0;
    uint16_t min = 0;
    for (bool negative_first : {false, true}) {
        Temps t;
        t.fill(300.0F);
        t[50] = negative_first ? -0.0F : 0.0F;
        t[97] = negative_first ? 0.0F : -0.0F; // later in the frame, in an earlier lane
        LEP3_KelvinToRGB(t.data(), rgb.data(), 0, &max, &min, 0);
        EXPECT_EQ(std::signbit(held_temp_min), negative_first);
    }
}

TEST_F(KelvinToRGB, PaletteAboveTenWritesTheRangeButNotTheImage)
{
    const Temps t = scene();
    std::vector<uint8_t> rgb(kPixels * 3, 0xEE);
    float max = 0;
    uint16_t min = 0;
    EXPECT_EQ(LEP3_KelvinToRGB(t.data(), rgb.data(), 11, &max, &min, 0), -3);
    EXPECT_EQ(max, 310.0F);
    EXPECT_EQ(min, 290);
    EXPECT_EQ(held_temp_max, 310.0F);
    for (uint8_t b : rgb)
        ASSERT_EQ(b, 0xEE);
}

TEST_F(KelvinToRGB, OnlyRainbowIcefireAndIronblackAreOfferedBesidesFusion)
{
    const Temps t = scene();
    std::vector<uint8_t> rgb(kPixels * 3);
    float max = 0;
    uint16_t min = 0;
    const std::array<const uint8_t *, 11> expected = {
        RGB24_pallette_fusion_256,    RGB24_pallette_rainbow_256, RGB24_pallette_fusion_256, RGB24_pallette_icefire_256,
        RGB24_pallette_ironblack_256, RGB24_pallette_fusion_256,  RGB24_pallette_fusion_256, RGB24_pallette_fusion_256,
        RGB24_pallette_fusion_256,    RGB24_pallette_fusion_256,  RGB24_pallette_fusion_256};
    for (uint32_t p = 0; p <= 10; ++p) {
        LEP3_KelvinToRGB(t.data(), rgb.data(), p, &max, &min, 0);
        EXPECT_EQ(pixel(rgb, 3), entry(expected[p], 191)) << p;
        EXPECT_EQ(pixel(rgb, kPixels - 1), entry(expected[p], 63)) << p; // (295 - 290) * 255 / 20
    }
}

} // namespace

namespace {

TEST(TruncateToUnsigned, NegativeAndNanGiveZeroLargeValuesSaturate)
{
    using lep3::control::truncate_to_unsigned;
    EXPECT_EQ(truncate_to_unsigned(-0.5F), 0U);
    EXPECT_EQ(truncate_to_unsigned(-1e9F), 0U);
    EXPECT_EQ(truncate_to_unsigned(std::numeric_limits<float>::quiet_NaN()), 0U);
    EXPECT_EQ(truncate_to_unsigned(255.99F), 255U);
    EXPECT_EQ(truncate_to_unsigned(70000.7F), 70000U);
    EXPECT_EQ(truncate_to_unsigned(1e20F), UINT32_MAX);
}

TEST(KelvinToRGBHeldRange, ReportsTheLow16BitsOfAHostWrittenMinimum)
{
    lep3::test::fill_exported_palettes();
    held_temp_max = 80000.0F;
    held_temp_min = 70000.0F; // 70000 = 0x11170
    Temps t;
    t.fill(75000.0F);
    std::vector<uint8_t> rgb(kPixels * 3);
    float max = 0;
    uint16_t min = 0;
    EXPECT_EQ(LEP3_KelvinToRGB(t.data(), rgb.data(), 0, &max, &min, 1), 0);
    EXPECT_EQ(min, 0x1170);
    EXPECT_EQ(max, 80000.0F);
    EXPECT_EQ(rgb[0], RGB24_pallette_fusion_256[size_t{3} * 127]);
}

} // namespace
