// The palettes' tables, entry by entry, and the colouring of grey frames by them: the
// palette a number selects, and the span-driven range and its debouncing.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "lep3.h"
#include "render/naive_reference.h"
#include "render/render_internal.h"

namespace {

using Colour = std::array<int, 3>;
using Table = std::vector<uint8_t>;

// Runs a generator twice into an odd address inside a guarded buffer, over different
// fills: both runs must agree (every byte is written) and the guards must stay intact.
Table generate(const std::function<void(uint8_t *)> &generator, size_t size = 768)
{
    constexpr size_t kGuard = 33;
    Table runs[2];
    for (uint8_t fill : {0xA5, 0x5A}) {
        Table buffer(kGuard + size + kGuard, fill);
        generator(buffer.data() + kGuard);
        runs[fill & 1].assign(buffer.begin() + kGuard, buffer.end() - kGuard);
        buffer.erase(buffer.begin() + kGuard, buffer.end() - kGuard);
        EXPECT_EQ(buffer, Table(2 * kGuard, fill)); // the guards on both sides
    }
    EXPECT_EQ(runs[0], runs[1]);
    return runs[0];
}

Colour entry(const Table &p, size_t j)
{
    return {p[3 * j], p[3 * j + 1], p[3 * j + 2]};
}

TEST(Palettes, LargePaletteHasFourBlackEntriesThenFiveFusionLegsFilledFromTheirTops)
{
    const Table p = generate([](uint8_t *dst) { EXPECT_EQ(generate_pallette_16384(dst), 0); }, 49152);
    // clang-format off
    for (const auto &[j, c] : std::vector<std::pair<size_t, Colour>>{
             {0, {0, 0, 0}}, {4, {0, 0, 0}}, {3279, {0, 0, 255}}, {3280, {0, 0, 255}}, {6556, {0, 255, 255}},
             {9831, {0, 255, 0}}, {13107, {255, 255, 0}}, {15383, {255, 77, 0}}, {16383, {255, 0, 0}}})
        EXPECT_EQ(entry(p, j), c) << "entry " << j;
    // clang-format on
}

// Every palette by its listed entries, "index:red,green,blue": the six computed ones at the
// ends of their legs, the sampled ones at 0, 32, ..., 224 and 255.
// clang-format off
const struct { const char *name; void (*generator)(uint8_t *); const char *entries; } kPalettes[] = {
    {"fusion", generate_pallette_fusion_256, "0:0,0,0 51:0,0,255 102:0,255,255 153:0,255,0 204:255,255,0 255:255,0,0"},
    {"globow", generate_pallette_globow_256, "0:0,0,0 51:0,0,255 102:255,0,255 153:255,0,0 204:255,255,0 "
     "255:255,255,255"},
    {"icefire", generate_pallette_icefire_256, "0:0,0,0 224:224,224,224 225:218,3,30 255:218,3,30"},
    {"grayfusion", generate_pallette_grayfusion_256, "0:0,0,0 191:191,191,191 192:0,0,255 207:0,255,255 208:0,255,255 "
     "223:0,255,0 224:0,255,0 239:255,255,0 240:255,255,0 255:255,0,0"},
    {"whitehot", generate_pallette_whitehot_256, "0:0,0,0 255:255,255,255"},
    {"blackhot", generate_pallette_blackhot_256, "0:255,255,255 255:0,0,0"},
    {"rainbow", generate_pallette_rainbow_256, "0:1,3,74 32:0,61,154 64:0,113,223 96:67,171,60 128:212,215,3 "
     "160:253,174,19 192:251,33,59 224:251,101,112 255:255,233,208"},
    {"ironblack", generate_pallette_ironblack_256, "0:255,255,255 32:191,191,191 64:126,126,126 96:62,62,62 128:0,0,9 "
     "160:116,1,136 192:224,57,49 224:247,171,13 255:255,255,24"},
    {"greyred", generate_pallette_greyred_256, "0:235,199,185 32:162,175,163 64:85,150,140 96:49,124,117 128:76,99,94 "
     "160:148,74,72 192:222,49,49 224:254,24,26 255:242,0,4"},
    {"iron", generate_pallette_iron_256, "0:0,0,0 32:53,0,142 64:144,0,156 96:200,16,136 128:230,71,21 160:245,124,0 "
     "192:254,183,0 224:255,231,60 255:255,255,249"},
    {"rain", generate_pallette_rain_256, "0:0,0,0 32:235,0,235 64:35,0,190 96:0,203,239 128:0,148,67 160:161,201,0 "
     "192:226,124,0 224:216,78,78 255:252,243,243"},
    {"maplin", generate_pallette_maplin_256, "0:0,0,0 32:0,0,220 64:0,113,238 96:0,251,56 128:194,189,0 160:255,65,0 "
     "192:255,241,0 224:255,255,161 255:255,255,255"},
    {"maplog", generate_pallette_maplog_256, "0:0,0,98 32:203,178,0 64:255,142,0 96:255,245,0 128:255,255,74 "
     "160:255,255,173 192:255,255,223 224:255,255,249 255:255,255,255"},
    {"glowbow", generate_pallette_glowbow_256, "0:0,0,0 32:107,12,21 64:207,24,38 96:231,59,19 128:255,95,0 "
     "160:255,158,0 192:255,219,6 224:255,238,134 255:255,255,255"},
    {"midgreen", generate_pallette_midgreen_256, "0:0,0,148 32:0,30,255 64:0,197,255 96:20,237,105 128:72,226,0 "
     "160:178,230,0 192:251,187,0 224:255,91,0 255:255,0,0"},
    {"yellow", generate_pallette_yellow_256, "0:53,1,0 32:54,32,0 64:82,64,0 96:136,96,0 128:195,128,0 160:239,160,0 "
     "192:254,192,0 224:244,224,0 255:229,255,0"},
};
// clang-format on

// Listed entries exact and the entries between on the straight line between them, rounded
// to nearest; except ironblack's lower half, grey falling by 2 with one extra step at 64.
TEST(Palettes, ListedEntriesExactAndEntriesBetweenInterpolated)
{
    for (const auto &palette : kPalettes) {
        SCOPED_TRACE(palette.name);
        const Table p = generate(palette.generator);
        std::istringstream in(palette.entries);
        size_t a = 0, b = 0;
        Colour from{}, to{};
        char sep = 0;
        // Every list starts at entry 0, so the first pass has nothing between.
        for (; in >> b >> sep >> to[0] >> sep >> to[1] >> sep >> to[2]; a = b, from = to) {
            EXPECT_EQ(entry(p, b), to) << "listed entry " << b;
            for (size_t j = a + 1; j < b; ++j) {
                Colour expected;
                for (size_t c = 0; c < 3; ++c)
                    expected[c] = int(std::lround((from[c] * double(b - j) + to[c] * double(j - a)) / double(b - a)));
                const int grey = 255 - 2 * int(j) - (j >= 64 ? 1 : 0); // 63 -> 129, 64 -> 126
                if (std::string(palette.name) == "ironblack" && j < 128)
                    expected = {grey, grey, grey};
                EXPECT_EQ(entry(p, j), expected) << "entry " << j;
            }
        }
        EXPECT_EQ(b, 255U);
    }
}

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
