#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
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

// An output frame between guard bytes, to see any write outside it.
struct GuardedRgb {
    static constexpr size_t kGuard = 32;
    std::vector<uint8_t> bytes = std::vector<uint8_t>(kGuard + kRgbBytes + kGuard, 0xC3);

    uint8_t *data() { return bytes.data() + kGuard; }
    std::vector<uint8_t> frame() const { return {bytes.begin() + kGuard, bytes.end() - kGuard}; }
    bool untouched_from(size_t first) const
    {
        return std::all_of(bytes.begin(), bytes.begin() + first, [](uint8_t b) { return b == 0xC3; }) &&
               std::all_of(bytes.end() - kGuard, bytes.end(), [](uint8_t b) { return b == 0xC3; });
    }
    bool guards_intact() const { return untouched_from(kGuard); }
    bool untouched() const { return untouched_from(bytes.size() - kGuard); }
};

class Colourise : public ::testing::Test {
  protected:
    void SetUp() override
    {
        lep3::test::fill_exported_palettes();
        std::mt19937 rng(17);
        for (auto &g : grey)
            g = static_cast<uint8_t>(rng());
        grey[kPixels - 1] = 255; // the last pixel is coloured like every other
    }
    GreyFrame grey;
};

TEST_F(Colourise, EveryPaletteNumberSelectsItsTableAndOthersAreRejected)
{
    const uint8_t *by_number[] = {
        RGB24_pallette_fusion_256,   RGB24_pallette_rainbow_256,    RGB24_pallette_globow_256,
        RGB24_pallette_icefire_256,  RGB24_pallette_ironblack_256,  RGB24_pallette_whitehot_256,
        RGB24_pallette_blackhot_256, RGB24_pallette_rain_256,       RGB24_pallette_iron_256,
        RGB24_pallette_greyred_256,  RGB24_pallette_grayfusion_256,
    };
    for (uint32_t number = 0; number <= 10; ++number) {
        SCOPED_TRACE(number);
        GuardedRgb out;
        ASSERT_EQ(Gray8ToRGB24(grey.data(), out.data(), number), 0);
        EXPECT_TRUE(out.guards_intact());
        std::vector<uint8_t> expected(kRgbBytes);
        lep3::naive::colourise(grey.data(), expected.data(), by_number[number]);
        EXPECT_EQ(out.frame(), expected);
    }
    for (uint32_t number : {11U, 0x80000000U, 0xFFFFFFFFU}) {
        GuardedRgb out;
        EXPECT_EQ(Gray8ToRGB24(grey.data(), out.data(), number), -3);
        EXPECT_TRUE(out.untouched()) << number;
    }
}

// Span-driven colouring, one call per letter of a scenario. Spans (maxTemp - minTemp):
// w wide 25, m between the thresholds 15, n narrow 5, h equal to the upper threshold 20;
// upper case forces the full range; r is a wide span with palette 11, which is rejected.
// Ranges shown: Q quarter (entry 96 + g / 4), H half (64 + g / 2), F full (g), - none.
TEST_F(Colourise, SpanRangeIsDebouncedOverFiveCalls)
{
    const struct {
        const char *name;
        int32_t low_span; // the upper threshold is 20
        const char *spans;
        const char *ranges;
    } scenarios[] = {
        {"five wide spans switch to full, five middle ones to half, then each call decides", 10, "wwwwwwmmmmmnm",
         "QQQQFFFFFFHQH"},
        {"a forced call selects full and counts in the history", 10, "Nnnnn", "FFFFQ"},
        {"a rejected palette does not shift the history", 10, "wwwrww", "QQQ-QF"},
        {"a span equal to the upper threshold blocks decisions while among the newest five", 10, "wwwwwhnnnnn",
         "QQQQFFFFFFQ"},
        {"thresholds in the wrong order: spans not above the lower one select the quarter", 30, "Wwwww", "FFFFQ"},
    };
    const struct {
        char name;
        unsigned first, divisor;
    } maps[] = {{'Q', 96, 4}, {'H', 64, 2}, {'F', 0, 1}};
    std::vector<uint8_t> expected[3];
    for (size_t m = 0; m < 3; ++m) {
        expected[m].resize(kRgbBytes);
        lep3::naive::colourise_range(grey.data(), expected[m].data(), RGB24_pallette_rainbow_256, maps[m].first,
                                     maps[m].divisor);
    }
    for (const auto &scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        std::fill(span_history, span_history + 5, 0);
        span_state = 0;
        for (size_t i = 0; scenario.spans[i] != '\0'; ++i) {
            SCOPED_TRACE(testing::Message() << "call " << i + 1);
            const char c = scenario.spans[i];
            const int lower = std::tolower(static_cast<unsigned char>(c));
            const int32_t span = lower == 'm' ? 15 : (lower == 'n' ? 5 : (lower == 'h' ? 20 : 25));
            const uint32_t force = std::isupper(static_cast<unsigned char>(c)) ? 1 : 0;
            GuardedRgb out;
            const int result = Gray8ToRGB24WithTemp(grey.data(), out.data(), force, 300 + span, 300, scenario.low_span,
                                                    20, c == 'r' ? 11 : 1);
            if (c == 'r') {
                EXPECT_EQ(result, -3);
                EXPECT_TRUE(out.untouched());
                continue;
            }
            EXPECT_EQ(result, 0);
            EXPECT_TRUE(out.guards_intact());
            char shown = '?';
            for (size_t m = 0; m < 3; ++m)
                shown = out.frame() == expected[m] ? maps[m].name : shown;
            EXPECT_EQ(shown, scenario.ranges[i]);
        }
    }
}

} // namespace
