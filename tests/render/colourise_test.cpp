#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "lep3.h"
#include "render/naive_reference.h"
#include "render/render_internal.h"

namespace {

constexpr size_t kPixels = 19200, kRgbBytes = kPixels * 3, kGuard = 32;
using Bytes = std::vector<uint8_t>;

// A frame between guard bytes, to see any write outside it; by default an untouched one.
Bytes guarded(Bytes frame = Bytes(kRgbBytes, 0xC3))
{
    frame.insert(frame.begin(), kGuard, 0xC3);
    frame.insert(frame.end(), kGuard, 0xC3);
    return frame;
}

class Colourise : public ::testing::Test {
  protected:
    void SetUp() override
    {
        lep3::render::fill_exported_palettes();
        std::generate(grey.begin(), grey.end(), std::mt19937(17)); // the low byte of each draw
        grey[kPixels - 1] = 255;                                   // the last pixel is coloured like every other
    }
    std::array<uint8_t, kPixels> grey;
    Bytes out = guarded();
};

TEST_F(Colourise, EveryPaletteNumberSelectsItsTableAndOthersAreRejected)
{
    // clang-format off
    const uint8_t *by_number[] = {
        RGB24_pallette_fusion_256, RGB24_pallette_rainbow_256, RGB24_pallette_globow_256, RGB24_pallette_icefire_256,
        RGB24_pallette_ironblack_256, RGB24_pallette_whitehot_256, RGB24_pallette_blackhot_256, RGB24_pallette_rain_256,
        RGB24_pallette_iron_256, RGB24_pallette_greyred_256, RGB24_pallette_grayfusion_256};
    // clang-format on
    for (uint32_t number : {0U, 1U, 2U, 3U, 4U, 5U, 6U, 7U, 8U, 9U, 10U, 11U, 0x80000000U}) { // 11 on: rejected
        Bytes expected(kRgbBytes, 0xC3);
        out = guarded();
        EXPECT_EQ(Gray8ToRGB24(grey.data(), out.data() + kGuard, number), number <= 10 ? 0 : -3);
        if (number <= 10)
            lep3::naive::colourise(grey.data(), expected.data(), by_number[number]);
        EXPECT_EQ(out, guarded(expected)) << number;
    }
}

// Span-driven colouring, one call per letter of a scenario. Spans (maxTemp - minTemp):
// w wide 25, m between the thresholds 15, n narrow 5, h equal to the upper threshold 20;
// upper case forces the full range; r is a wide span with palette 11, which is rejected.
// Ranges shown: Q quarter (entry 96 + g / 4), H half (64 + g / 2), F full (g), - none.
TEST_F(Colourise, SpanRangeIsDebouncedOverFiveCalls)
{
    // The upper threshold is 20, the lower one given first.
    // clang-format off
    const struct { int32_t low_span; const char *spans, *ranges; } scenarios[] = {
        // five wide spans switch to full, five middle ones to half, then each call decides
        {10, "wwwwwwmmmmmnm", "QQQQFFFFFFHQH"},
        // a forced call selects full and counts in the history
        {10, "Nnnnn", "FFFFQ"},
        // a rejected palette does not shift the history
        {10, "wwwrww", "QQQ-QF"},
        // a span equal to the upper threshold blocks decisions while among the newest five
        {10, "wwwwwhnnnnn", "QQQQFFFFFFQ"},
        // thresholds in the wrong order: spans not above the lower one select the quarter
        {30, "Wwwww", "FFFFQ"},
    };
    // clang-format on
    // What each range shows through rainbow, between guards; '-' is the untouched buffer.
    std::vector<std::pair<char, Bytes>> shows = {{'-', guarded()}};
    for (const auto &[name, first, divisor] : {std::tuple{'Q', 96U, 4U}, {'H', 64U, 2U}, {'F', 0U, 1U}}) {
        Bytes rgb(kRgbBytes);
        lep3::naive::colourise_range(grey.data(), rgb.data(), RGB24_pallette_rainbow_256, first, divisor);
        shows.emplace_back(name, guarded(rgb));
    }
    const std::string letters = "wmnhWMNHr";
    const int32_t spans[] = {25, 15, 5, 20};
    for (const auto &scenario : scenarios) {
        SCOPED_TRACE(scenario.spans);
        std::fill(span_history, span_history + 5, 0);
        span_state = 0;
        for (size_t i = 0; scenario.spans[i] != '\0'; ++i) {
            const char c = scenario.spans[i];
            const size_t at = letters.find(c);
            out = guarded();
            EXPECT_EQ(Gray8ToRGB24WithTemp(grey.data(), out.data() + kGuard, at / 4 == 1, 300 + spans[at % 4], 300,
                                           scenario.low_span, 20, c == 'r' ? 11 : 1),
                      c == 'r' ? -3 : 0);
            const auto shown = std::find_if(shows.begin(), shows.end(), [&](const auto &s) { return s.second == out; });
            EXPECT_EQ(shown == shows.end() ? '?' : shown->first, scenario.ranges[i]) << "call " << i + 1;
        }
    }
}

} // namespace
