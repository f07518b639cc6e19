// Raw values to temperatures and temperature frames to colour: the worked numbers, the
// cached kelvin of each raw value against the per-pixel formula, and the range that
// colouring finds or holds.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "render/naive_reference.h"
#include "render/render_internal.h"
#include "render/vector_levels.h"
#include "support/process_counts.h"
#include "virtual_bridge.h"

namespace {

constexpr size_t kPixels = 19200;
using RawFrame = std::array<uint16_t, kPixels>;
using Temps = std::array<float, kPixels>;
using Rgb = std::array<uint8_t, 3>;

const auto bits = [](float f) { return std::bit_cast<uint32_t>(f); };

// The centre block's mean and the integer quotient of one pixel's temperature; kelvin
// to celsius in double precision; null frames refused.
TEST(Temperature, CentreBlockPixelTempCelsiusAndNullFrames)
{
    RawFrame raw{};
    raw.fill(60000); // outside rows 57..62 and columns 77..82: not counted
    for (size_t y = 57; y <= 62; ++y)
        std::fill_n(raw.begin() + y * 160 + 77, 6, 100);
    raw[60 * 160 + 80] = 135; // sum 36 x 100 + 35, truncated
    EXPECT_EQ(LEP3_GetCenterPixel(raw.data()), 100U);
    // q = 347000 / 3000 = 115, not 115.67; kelvin rounded through a float.
    EXPECT_EQ(LEP3_GetPixelTemp(4000, 347000, 1000),
              static_cast<float>(static_cast<double>(static_cast<float>(1428.0 / std::log(116.0))) - 273.15));
    EXPECT_EQ(LEP3_GetPixelTemp(500, 347000, 1000), std::numeric_limits<float>::infinity()); // wraps: q = 0
    EXPECT_EQ(LEP3_GetPixelTemp(1000, 347000, 1000), -273.15F);                              // unbounded quotient: 0 K
    Temps temps{300.0F, 273.15F};
    EXPECT_EQ(LEP3_KelvinToCelsius(temps.data()), 0);
    EXPECT_EQ(std::make_tuple(temps[0], temps[kPixels - 1]), std::make_tuple(26.85F, -273.15F));
    EXPECT_NEAR(temps[1], -0.0000061F, 0.0000005F); // the float nearest 273.15 is not 273.15
    EXPECT_EQ(lep3::test::stdout_of([&] { EXPECT_EQ(LEP3_LuxToKelvin(raw.data(), nullptr, 1, 1), -1); }),
              "Image point is NULL\n");
}

// The pixels of the frame converted with (r, o) that differ from the formula, to the bit
// (NaNs below O included: the vector lanes fill those too).
size_t differing(const RawFrame &raw, int32_t r, int32_t o)
{
    Temps temps;
    LEP3_LuxToKelvin(raw.data(), temps.data(), r, o);
    size_t wrong = 0;
    for (size_t i = 0; i < kPixels; ++i)
        wrong += bits(temps[i]) == bits(lep3::naive::lux_to_kelvin(raw[i], r, o)) ? 0 : 1;
    return wrong;
}

// Converts frames holding every raw value in a scrambled order with (r, o) twice (filling,
// then reading any cached results); counts the pixels that differ from the formula.
size_t mismatches(int32_t r, int32_t o)
{
    static const std::vector<RawFrame> frames = [] {
        std::vector<RawFrame> f(4); // every value at least once: an odd factor permutes them
        for (size_t i = 0; i < f.size() * kPixels; ++i)
            f[i / kPixels][i % kPixels] = static_cast<uint16_t>(i * 40503);
        return f;
    }();
    size_t wrong = 0;
    for (int pass = 0; pass < 2; ++pass)
        for (const auto &raw : frames)
            wrong += differing(raw, r, o);
    return wrong;
}

// Typical calibrations, a change of R alone and of O alone, O inside the raw domain (0 K
// at O, NaN below), a negative R, O at the domain's top, a return to an earlier pair, then
// two threads with calibrations of their own at once.
using FrameKelvin = lep3::test::AtEveryVectorLevel;

TEST_P(FrameKelvin, BitIdenticalToThePerPixelFormulaForEveryRawValue)
{
    for (const auto &[r, o] : std::vector<std::pair<int32_t, int32_t>>{
             {347000, 1000}, {264000, 1000}, {264000, 0}, {600000, 8192}, {-5000, 300}, {1, 65535}, {347000, 1000}})
        EXPECT_EQ(mismatches(r, o), 0U) << "R " << r << " O " << o;
    size_t wrong = 1;
    std::thread a([&] { wrong = mismatches(347000, 1000) + mismatches(500000, 2000); });
    EXPECT_EQ(mismatches(500000, 2000) + mismatches(347000, 1000), 0U);
    a.join();
    EXPECT_EQ(wrong, 0U);
}
INSTANTIATE_TEST_SUITE_P(, FrameKelvin, lep3::test::kEveryVectorLevel, lep3::test::vector_level_name);

// Frames within a span of raw values have the span computed in vector lanes after each
// change of calibration: every pixel must still be the formula's, for uniformly random
// 14-bit frames, narrow scenes, spans across O (no logarithm below it), calibrations that
// put u next to 1 (huge kelvin), a negative R, and spans that grow, shrink and move.
TEST_P(FrameKelvin, SpansComputedInLanesAreTheFormulasToTheBit)
{
    std::mt19937 rng(5);
    const auto frame = [&](uint32_t low, uint32_t span) {
        RawFrame raw;
        for (auto &v : raw)
            v = static_cast<uint16_t>(low + rng() % span);
        return raw;
    };
    struct Case {
        uint32_t low, span;
        int32_t r, o;
    };
    // clang-format off
    const Case cases[] = {
        {0, 16384, 347000, 1000}, {0, 16384, 348000, 1000}, {7000, 1500, 347000, 1000}, {7000, 1500, 264000, 0},
        {7900, 600, 600000, 8192}, {0, 16384, 3, 100}, {30000, 32000, 5, 65535}, {100, 900, -5000, 300},
        {0, 16384, 1, 16384}, {60000, 5535, 900000, 2}, {12000, 20000, 347000, 1000}, {0, 32767, 347001, 1000},
    };
    // clang-format on
    for (const Case &c : cases)
        for (int n = 0; n < 2; ++n) // the span's first frame, then another in the same span
            EXPECT_EQ(differing(frame(c.low, c.span), c.r, c.o), 0U)
                << "span " << c.low << "+" << c.span << " R " << c.r << " O " << c.o;
}

// The table behind the conversion is the process's one, in static storage: a thread's
// first conversion takes nothing from the heap, however many threads convert.
TEST(FrameTemperature, TakesNoHeapInAnyThread)
{
    std::thread([] {}).join(); // the thread machinery's own first allocations
    RawFrame raw{};
    for (size_t i = 0; i < kPixels; ++i)
        raw[i] = static_cast<uint16_t>(2000 + i % 3000);
    const size_t before = lep3::test::heap_in_use();
    Temps temps;
    LEP3_LuxToKelvin(raw.data(), temps.data(), 347000, 1000);
    for (int32_t r : {400000, 500000}) {
        std::thread t([&raw, r] {
            Temps own;
            LEP3_LuxToKelvin(raw.data(), own.data(), r, 1000);
        });
        t.join();
    }
    EXPECT_EQ(lep3::test::heap_in_use(), before);
}

class KelvinToRGB : public testing::Test {
  protected:
    void SetUp() override // pixels 0..3 at 290, 310, 300 and 305; the rest at 295
    {
        lep3::render::fill_exported_palettes();
        t.fill(295.0F);
        std::copy_n(std::array{290.0F, 310.0F, 300.0F, 305.0F}.begin(), 4, t.begin());
    }
    Rgb pixel(size_t i) const { return at(rgb.data(), i); }
    static Rgb at(const uint8_t *p, size_t i) { return {p[3 * i], p[3 * i + 1], p[3 * i + 2]}; }
    std::vector<uint8_t> rgb = std::vector<uint8_t>(kPixels * 3, 0xEE);
    float max = -1.0F;
    uint16_t min = 1;
    Temps t;
};

// Held from the start: 0 and 1000, a degenerate range giving entry 0. Then
// the automatic range, and that range held again, clamping; above palette 10 the range
// is still found, held and reported, but nothing is coloured.
TEST_F(KelvinToRGB, HeldRangeStartsAtZeroAndAThousandThenClampsAndPaletteElevenOnlyFindsIt)
{
    EXPECT_EQ(LEP3_KelvinToRGB(t.data(), rgb.data(), 1, &max, &min, 1), 0);
    EXPECT_EQ(std::make_tuple(max, min, pixel(1)),
              std::make_tuple(0.0F, uint16_t{1000}, at(RGB24_pallette_rainbow_256, 0)));
    EXPECT_EQ(LEP3_KelvinToRGB(t.data(), rgb.data(), 0, &max, &min, 0), 0);
    t[0] = 280.0F; // outside the held range 290..310: clamped to it
    t[1] = 320.0F;
    EXPECT_EQ(LEP3_KelvinToRGB(t.data(), rgb.data(), 4, &max, &min, 1), 0);
    const uint8_t *iron = RGB24_pallette_ironblack_256;
    EXPECT_EQ(std::make_tuple(pixel(0), pixel(1), pixel(3), pixel(kPixels - 1), max, held_temp_min),
              std::make_tuple(at(iron, 0), at(iron, 255), at(iron, 191), at(iron, 63), 310.0F, 290.0F));
    std::fill(rgb.begin(), rgb.end(), 0xEE);
    EXPECT_EQ(LEP3_KelvinToRGB(t.data(), rgb.data(), 11, &max, &min, 0), -3);
    EXPECT_EQ(std::make_tuple(max, min, held_temp_max, rgb),
              std::make_tuple(320.0F, uint16_t{280}, 320.0F, std::vector<uint8_t>(kPixels * 3, 0xEE)));
}

// Scenes with NaNs, signed zeros, infinities and values outside 0..1000 at random places:
// the range (from 0 and 1000), down to the sign of a zero minimum, the truncated minimum
// reported, and every colour as one ordered scan gives them from the palette the number
// picks: four of its own, fusion for the rest.
TEST_F(KelvinToRGB, RangeAndColoursMatchAnOrderedScan)
{
    std::mt19937 rng(31);
    std::uniform_real_distribution<float> spread(-50.0F, 1200.0F);
    const float specials[] = {0.0F, -0.0F, std::numeric_limits<float>::quiet_NaN(), 1000.0F,
                              std::numeric_limits<float>::infinity()};
    std::vector<uint8_t> slow(kPixels * 3);
    for (int round = 0; round < 62; ++round) {
        const float base = std::abs(spread(rng));
        for (auto &v : t)
            v = round % 2 ? base + static_cast<float>(rng() % 100) * 0.25F : spread(rng);
        for (int k = 0; k < round % 7; ++k)
            t[rng() % kPixels] = specials[rng() % (round % 5 == 4 ? 5 : 4)];
        if (round >= 60) { // the two zeros in either order
            t.fill(300.0F);
            t[50] = round == 60 ? -0.0F : 0.0F;
            t[97] = round == 60 ? 0.0F : -0.0F;
        }
        float ref_max = 0, ref_min = 0;
        const uint32_t p = round % 11;
        const uint8_t *own[] = {RGB24_pallette_fusion_256, RGB24_pallette_rainbow_256, RGB24_pallette_fusion_256,
                                RGB24_pallette_icefire_256, RGB24_pallette_ironblack_256};
        const uint8_t *palette = own[p < 5 ? p : 0];
        LEP3_KelvinToRGB(t.data(), rgb.data(), p, &max, &min, 0);
        lep3::naive::kelvin_to_rgb_auto(t.data(), slow.data(), palette, ref_max, ref_min);
        ASSERT_EQ(std::make_tuple(bits(held_temp_max), bits(held_temp_min), min),
                  std::make_tuple(bits(ref_max), bits(ref_min), ref_min > 0.0F ? static_cast<uint16_t>(ref_min) : 0))
            << round;
        ASSERT_EQ(rgb, slow) << round;
    }
}

} // namespace
