#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "lep3.h"
#include "render/naive_reference.h"
#include "render/palette_setup.h"
#include "render/render_internal.h"

namespace {

using lep3::render::kFramePixels;
using lep3::render::kRgbFrameBytes;
using GreyFrame = std::array<uint8_t, kFramePixels>;
using Rgb = std::array<uint8_t, 3>;

const std::array<const uint8_t *, 11> kTableByNumber = {
    RGB24_pallette_fusion_256,   RGB24_pallette_rainbow_256,    RGB24_pallette_globow_256,
    RGB24_pallette_icefire_256,  RGB24_pallette_ironblack_256,  RGB24_pallette_whitehot_256,
    RGB24_pallette_blackhot_256, RGB24_pallette_rain_256,       RGB24_pallette_iron_256,
    RGB24_pallette_greyred_256,  RGB24_pallette_grayfusion_256,
};

// An output frame with guard bytes on both sides, to see every write past its ends.
class GuardedRgb {
  public:
    static constexpr size_t kGuard = 32;
    static constexpr uint8_t kFill = 0xC3;
    GuardedRgb() : bytes_(kGuard + kRgbFrameBytes + kGuard, kFill) {}
    uint8_t *data() { return bytes_.data() + kGuard; }
    Rgb pixel(size_t i) const
    {
        return {bytes_[kGuard + 3 * i], bytes_[kGuard + 3 * i + 1], bytes_[kGuard + 3 * i + 2]};
    }
    bool guards_intact() const
    {
        for (size_t i = 0; i < kGuard; ++i)
            if (bytes_[i] != kFill || bytes_[kGuard + kRgbFrameBytes + i] != kFill)
                return false;
        return true;
    }
    bool untouched() const
    {
        for (uint8_t b : bytes_)
            if (b != kFill)
                return false;
        return true;
    }
    std::vector<uint8_t> frame() const
    {
        return {bytes_.begin() + kGuard, bytes_.begin() + static_cast<long>(kGuard + kRgbFrameBytes)};
    }

  private:
    std::vector<uint8_t> bytes_;
};

Rgb entry(const uint8_t *table, size_t j)
{
    return {table[3 * j], table[3 * j + 1], table[3 * j + 2]};
}

class Colourise : public ::testing::Test {
  protected:
    void SetUp() override { lep3::test::fill_exported_palettes(); }
};

TEST_F(Colourise, EveryPaletteNumberMatchesTheNaiveLookupWithinTheFrame)
{
    std::mt19937 rng(17);
    GreyFrame grey;
    for (auto &g : grey)
        g = static_cast<uint8_t>(rng());
    grey[kFramePixels - 1] = 255; // the last pixel is coloured like every other
    for (uint32_t number = 0; number <= 10; ++number) {
        GuardedRgb out;
        ASSERT_EQ(Gray8ToRGB24(grey.data(), out.data(), number), 0);
        EXPECT_TRUE(out.guards_intact()) << number;
        std::vector<uint8_t> expected(kRgbFrameBytes);
        lep3::naive::colourise(grey.data(), expected.data(), kTableByNumber[number]);
        EXPECT_EQ(out.frame(), expected) << "palette " << number;
    }
}

TEST_F(Colourise, PaletteAboveTenIsRejectedWithoutWriting)
{
    GreyFrame grey{};
    for (uint32_t number : {11U, 12U, 0x80000000U, 0xFFFFFFFFU}) {
        GuardedRgb out;
        EXPECT_EQ(Gray8ToRGB24(grey.data(), out.data(), number), -3);
        EXPECT_TRUE(out.untouched());
    }
}

TEST_F(Colourise, WorkedExamples)
{
    GreyFrame black{};
    GuardedRgb out;
    Gray8ToRGB24(black.data(), out.data(), 6); // blackhot
    for (size_t i = 0; i < kFramePixels; ++i)
        ASSERT_EQ(out.pixel(i), (Rgb{255, 255, 255}));
    Gray8ToRGB24(black.data(), out.data(), 5); // whitehot
    for (size_t i = 0; i < kFramePixels; ++i)
        ASSERT_EQ(out.pixel(i), (Rgb{0, 0, 0}));
    GreyFrame white;
    white.fill(255);
    Gray8ToRGB24(white.data(), out.data(), 0); // fusion
    EXPECT_EQ(out.pixel(0), (Rgb{255, 0, 0}));
    EXPECT_EQ(out.pixel(kFramePixels - 1), (Rgb{255, 0, 0}));
}

// Span-driven colouring. Grey 0 and 255 in one frame show which part of the palette is
// in use: quarter 96..159, half 64..191, full 0..255.
class SpanColourise : public Colourise {
  protected:
    static constexpr int32_t kLow = 10;
    static constexpr int32_t kHigh = 20;
    static constexpr uint32_t kWhitehot = 5;

    // One call with span d; returns the (first, last) grey level seen through whitehot.
    std::pair<int, int> call(int32_t span, uint32_t force = 0, uint32_t palette = kWhitehot, int *result = nullptr)
    {
        GreyFrame grey{};
        grey[kFramePixels - 1] = 255;
        GuardedRgb out;
        const int r = Gray8ToRGB24WithTemp(grey.data(), out.data(), force, 300 + span, 300, kLow, kHigh, palette);
        if (result != nullptr)
            *result = r;
        EXPECT_TRUE(out.guards_intact());
        return {out.pixel(0)[0], out.pixel(kFramePixels - 1)[0]};
    }

    static constexpr std::pair<int, int> kQuarter{96, 159};
    static constexpr std::pair<int, int> kHalf{64, 191};
    static constexpr std::pair<int, int> kFull{0, 255};
};

TEST_F(SpanColourise, FirstCallUsesTheQuarterRange)
{
    GreyFrame white;
    white.fill(255);
    GuardedRgb out;
    EXPECT_EQ(Gray8ToRGB24WithTemp(white.data(), out.data(), 0, 100, 0, 10, 20, 5), 0);
    for (size_t i = 0; i < kFramePixels; ++i)
        ASSERT_EQ(out.pixel(i), (Rgb{159, 159, 159}));
}

TEST_F(SpanColourise, FiveWideSpansSwitchToFullAndStayUntilFiveNarrowOnes)
{
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(call(kHigh + 5), kQuarter) << "call " << i + 1;
    EXPECT_EQ(call(kHigh + 5), kFull);
    EXPECT_EQ(call(kHigh + 5), kFull);
    // Spans between the thresholds: four calls keep the full range, the fifth halves it.
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(call(kLow + 5), kFull) << "narrow call " << i + 1;
    EXPECT_EQ(call(kLow + 5), kHalf);
    // Below the upper threshold every call re-decides against the lower one directly.
    EXPECT_EQ(call(kLow - 5), kQuarter);
    EXPECT_EQ(call(kLow + 5), kHalf);
    EXPECT_EQ(span_state, 1);
}

TEST_F(SpanColourise, ForcedCallSelectsFullRangeAndCountsInTheHistory)
{
    EXPECT_EQ(call(kLow - 5, 1), kFull);
    EXPECT_EQ(span_history[0], -1);
    // The state stays full until five agreeing signs decide afresh.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(call(kLow - 5), kFull) << i;
    EXPECT_EQ(call(kLow - 5), kQuarter); // fifth -1 in a row, counting the forced call
}

TEST_F(SpanColourise, RejectedPaletteDoesNotShiftTheHistory)
{
    int result = 0;
    for (int i = 0; i < 3; ++i)
        call(kHigh + 5);
    const std::array<int32_t, 5> before = {span_history[0], span_history[1], span_history[2], span_history[3],
                                           span_history[4]};
    GreyFrame grey{};
    GuardedRgb out;
    EXPECT_EQ(Gray8ToRGB24WithTemp(grey.data(), out.data(), 0, 300 + kHigh + 5, 300, kLow, kHigh, 11), -3);
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(
        (std::array<int32_t, 5>{span_history[0], span_history[1], span_history[2], span_history[3], span_history[4]}),
        before);
    EXPECT_EQ(call(kHigh + 5, 0, kWhitehot, &result), kQuarter); // only the fourth accepted call
    EXPECT_EQ(result, 0);
    EXPECT_EQ(call(kHigh + 5), kFull);
}

TEST_F(SpanColourise, SpanEqualToTheUpperThresholdBlocksDecisionsForFiveCalls)
{
    for (int i = 0; i < 5; ++i)
        call(kHigh + 5);
    ASSERT_EQ(span_state, 2);
    EXPECT_EQ(call(kHigh), kFull);
    EXPECT_EQ(span_history[0], 0);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(call(kLow - 5), kFull) << i; // the 0 is still among the five newest
    EXPECT_EQ(call(kLow - 5), kQuarter);
}

TEST_F(SpanColourise, ThresholdsInTheWrongOrderFollowTheSameRules)
{
    // Five spans above highSpan but not above lowSpan select the quarter range.
    GreyFrame grey{};
    GuardedRgb out;
    for (int i = 0; i < 5; ++i)
        Gray8ToRGB24WithTemp(grey.data(), out.data(), 0, 325, 300, 30, 20, kWhitehot);
    EXPECT_EQ(span_state, 0);
}

TEST_F(SpanColourise, HalfRangeMapsGreyHalvedFromEntry64InTheChosenPalette)
{
    for (int i = 0; i < 5; ++i)
        call(kLow + 5);
    ASSERT_EQ(span_state, 1);
    std::mt19937 rng(23);
    GreyFrame grey;
    for (auto &g : grey)
        g = static_cast<uint8_t>(rng());
    GuardedRgb out;
    Gray8ToRGB24WithTemp(grey.data(), out.data(), 0, 300 + kLow + 5, 300, kLow, kHigh, 1);
    for (size_t i = 0; i < kFramePixels; ++i)
        ASSERT_EQ(out.pixel(i), entry(RGB24_pallette_rainbow_256, 64 + grey[i] / 2)) << i;
}

} // namespace
