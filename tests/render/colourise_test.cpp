#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "lep3.h"
#include "render/naive_reference.h"
#include "render/palette_setup.h"

namespace {

constexpr size_t kPixels = 19200;
constexpr size_t kRgbBytes = kPixels * 3;
using GreyFrame = std::array<uint8_t, kPixels>;
using Rgb = std::array<uint8_t, 3>;

// An output frame between guard bytes, to see any write outside it.
struct GuardedRgb {
    static constexpr size_t kGuard = 32;
    static constexpr uint8_t kFill = 0xC3;
    std::vector<uint8_t> bytes = std::vector<uint8_t>(kGuard + kRgbBytes + kGuard, kFill);

    uint8_t *data() { return bytes.data() + kGuard; }
    Rgb pixel(size_t i) const { return {bytes[kGuard + 3 * i], bytes[kGuard + 3 * i + 1], bytes[kGuard + 3 * i + 2]}; }
    std::vector<uint8_t> frame() const { return {bytes.begin() + kGuard, bytes.end() - kGuard}; }
    bool guards_intact() const
    {
        const auto fill = [](uint8_t b) { return b == kFill; };
        return std::all_of(bytes.begin(), bytes.begin() + kGuard, fill) &&
               std::all_of(bytes.end() - kGuard, bytes.end(), fill);
    }
    bool untouched() const
    {
        return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == kFill; });
    }
};

class Colourise : public ::testing::Test {
  protected:
    void SetUp() override { lep3::test::fill_exported_palettes(); }
};

TEST_F(Colourise, EveryPaletteNumberSelectsItsTableForTheWholeFrame)
{
    const uint8_t *by_number[] = {
        RGB24_pallette_fusion_256,   RGB24_pallette_rainbow_256,    RGB24_pallette_globow_256,
        RGB24_pallette_icefire_256,  RGB24_pallette_ironblack_256,  RGB24_pallette_whitehot_256,
        RGB24_pallette_blackhot_256, RGB24_pallette_rain_256,       RGB24_pallette_iron_256,
        RGB24_pallette_greyred_256,  RGB24_pallette_grayfusion_256,
    };
    std::mt19937 rng(17);
    GreyFrame grey;
    for (auto &g : grey)
        g = static_cast<uint8_t>(rng());
    grey[kPixels - 1] = 255; // the last pixel is coloured like every other
    for (uint32_t number = 0; number <= 10; ++number) {
        GuardedRgb out;
        ASSERT_EQ(Gray8ToRGB24(grey.data(), out.data(), number), 0);
        EXPECT_TRUE(out.guards_intact()) << number;
        std::vector<uint8_t> expected(kRgbBytes);
        lep3::naive::colourise(grey.data(), expected.data(), by_number[number]);
        EXPECT_EQ(out.frame(), expected) << "palette " << number;
    }
}

TEST_F(Colourise, WorkedExamplesAndRejectedNumbers)
{
    GreyFrame black{};
    GuardedRgb out;
    Gray8ToRGB24(black.data(), out.data(), 6); // blackhot
    EXPECT_EQ(out.frame(), std::vector<uint8_t>(kRgbBytes, 255));
    Gray8ToRGB24(black.data(), out.data(), 5); // whitehot
    EXPECT_EQ(out.frame(), std::vector<uint8_t>(kRgbBytes, 0));
    GreyFrame white;
    white.fill(255);
    Gray8ToRGB24(white.data(), out.data(), 0); // fusion
    EXPECT_EQ(out.pixel(kPixels - 1), (Rgb{255, 0, 0}));

    for (uint32_t number : {11U, 0x80000000U, 0xFFFFFFFFU}) {
        GuardedRgb fresh;
        EXPECT_EQ(Gray8ToRGB24(white.data(), fresh.data(), number), -3);
        EXPECT_TRUE(fresh.untouched());
    }
}

// Span-driven colouring. Grey 0 and 255 in one frame through whitehot show which part of
// the palette is in use: quarter 96..159, half 64..191, full 0..255.
class SpanColourise : public Colourise {
  protected:
    static constexpr int32_t kLow = 10;
    static constexpr int32_t kHigh = 20;
    static constexpr std::pair<int, int> kQuarter{96, 159};
    static constexpr std::pair<int, int> kHalf{64, 191};
    static constexpr std::pair<int, int> kFull{0, 255};

    std::pair<int, int> call(int32_t span, uint32_t force = 0, int32_t low = kLow)
    {
        GreyFrame grey{};
        grey[kPixels - 1] = 255;
        GuardedRgb out;
        EXPECT_EQ(Gray8ToRGB24WithTemp(grey.data(), out.data(), force, 300 + span, 300, low, kHigh, 5), 0);
        EXPECT_TRUE(out.guards_intact());
        return {out.pixel(0)[0], out.pixel(kPixels - 1)[0]};
    }
};

TEST_F(SpanColourise, FiveWideSpansSwitchToFullAndFiveNarrowOnesBack)
{
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(call(kHigh + 5), kQuarter) << "call " << i + 1;
    EXPECT_EQ(call(kHigh + 5), kFull);
    EXPECT_EQ(call(kHigh + 5), kFull);
    for (int i = 0; i < 4; ++i) // between the thresholds
        EXPECT_EQ(call(kLow + 5), kFull) << "narrow call " << i + 1;
    EXPECT_EQ(call(kLow + 5), kHalf);
    // Once five spans lie below the upper threshold, each call re-decides directly.
    EXPECT_EQ(call(kLow - 5), kQuarter);
    EXPECT_EQ(call(kLow + 5), kHalf);
}

TEST_F(SpanColourise, ForcedCallSelectsFullRangeAndCountsInTheHistory)
{
    EXPECT_EQ(call(kLow - 5, 1), kFull);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(call(kLow - 5), kFull) << i;
    EXPECT_EQ(call(kLow - 5), kQuarter); // the fifth -1 in a row, counting the forced call
}

TEST_F(SpanColourise, RejectedPaletteDoesNotShiftTheHistory)
{
    for (int i = 0; i < 3; ++i)
        call(kHigh + 5);
    const std::vector<int32_t> before(span_history, span_history + 5);
    GreyFrame grey{};
    GuardedRgb out;
    EXPECT_EQ(Gray8ToRGB24WithTemp(grey.data(), out.data(), 0, 300 + kHigh + 5, 300, kLow, kHigh, 11), -3);
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(std::vector<int32_t>(span_history, span_history + 5), before);
    EXPECT_EQ(call(kHigh + 5), kQuarter); // only the fourth accepted call
    EXPECT_EQ(call(kHigh + 5), kFull);
}

TEST_F(SpanColourise, SpanEqualToTheUpperThresholdBlocksDecisionsForFiveCalls)
{
    for (int i = 0; i < 5; ++i)
        call(kHigh + 5);
    EXPECT_EQ(call(kHigh), kFull);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(call(kLow - 5), kFull) << i; // the 0 is still among the five newest
    EXPECT_EQ(call(kLow - 5), kQuarter);
    // Thresholds in the wrong order follow the same rules: five spans above highSpan
    // that are not above lowSpan select the quarter range.
    for (int i = 0; i < 5; ++i)
        call(kHigh + 5, 0, kHigh + 10);
    EXPECT_EQ(span_state, 0);
}

TEST_F(SpanColourise, HalfRangeHalvesGreyFromEntry64OfTheChosenPalette)
{
    for (int i = 0; i < 5; ++i)
        call(kLow + 5);
    std::mt19937 rng(23);
    GreyFrame grey;
    for (auto &g : grey)
        g = static_cast<uint8_t>(rng());
    GuardedRgb out;
    Gray8ToRGB24WithTemp(grey.data(), out.data(), 0, 300 + kLow + 5, 300, kLow, kHigh, 1);
    std::vector<uint8_t> expected(kRgbBytes);
    lep3::naive::colourise_range(grey.data(), expected.data(), RGB24_pallette_rainbow_256, 64, 2);
    EXPECT_EQ(out.frame(), expected);
}

} // namespace
