// Raw frames to grey: the division-free stretch, the 3 x 3 median filter and the whole
// pipeline with its held ranges, each against the naive reference at every vector level.
#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "lep3.h"
#include "render/naive_reference.h"
#include "render/render_internal.h"
#include "render/vector_levels.h"

namespace {

using lep3::render::kFramePixels;
using RawFrame = std::array<uint16_t, kFramePixels>;
using GreyFrame = std::array<uint8_t, kFramePixels>;
using Gray8Stretch = lep3::test::AtEveryVectorLevel;
using Gray8Pipeline = lep3::test::AtEveryVectorLevel;
using MedianFilter = lep3::test::AtEveryVectorLevel;

// Three vertical bands, wide enough that the median filter keeps each band's value at
// the band's centre column.
RawFrame bands(uint16_t left, uint16_t middle, uint16_t right)
{
    RawFrame f;
    for (size_t i = 0; i < kFramePixels; ++i)
        f[i] = i % 160 < 50 ? left : (i % 160 < 110 ? middle : right);
    return f;
}

// The division-free stretch against per-pixel division over every 16-bit raw value: every
// width up to 64, a spread of wider ones including those where the 16-bit normalisation
// changes, ranges beyond 16 bits, and random 32-bit ranges.
TEST_P(Gray8Stretch, MatchesPerPixelDivisionForEveryRawValue)
{
    std::vector<std::pair<uint32_t, uint32_t>> ranges; // max, min
    std::vector<uint32_t> widths = {2047, 2048, 4095, 4096, 8191, 8192, 16383, 16384, 32767, 32768, 65535};
    for (uint32_t d = 1; d < 0x10000; d = d < 64 ? d + 1 : d * 9 / 8 + 7)
        widths.push_back(d);
    for (uint32_t d : widths)
        for (uint32_t min : {0U, 1000U, 0xFFFFU - d, 70000U})
            ranges.emplace_back(min + d, min);
    std::mt19937 rng(7);
    for (uint32_t i = 0, a = rng(), b = rng(); i < 100; ++i, a = rng(), b = i % 2 ? rng() % 70000 : rng())
        ranges.emplace_back(std::max(a, b), std::min(a, b));
    std::vector<uint16_t> all(4 * kFramePixels); // every 16-bit value, then some again
    std::iota(all.begin(), all.end(), uint16_t{0});
    GreyFrame out;
    for (const auto &[max, min] : ranges)
        for (size_t f = 0; f < all.size(); f += kFramePixels) {
            lep3::render::stretch_frame(all.data() + f, out.data(), max, min);
            for (size_t i = 0; i < kFramePixels; ++i)
                ASSERT_EQ(out[i], lep3::naive::stretch_pixel(all[f + i], max, min))
                    << "raw " << all[f + i] << " range " << min << ".." << max;
        }
}

using Pattern = std::function<int(size_t x, size_t y)>;

// Into a separate frame and in place, where the filter must read only unfiltered values.
void expect_same_as_reference(const Pattern &value, const std::string &what)
{
    GreyFrame src, fast, slow;
    for (size_t i = 0; i < kFramePixels; ++i)
        src[i] = static_cast<uint8_t>(value(i % 160, i / 160));
    EXPECT_EQ(lep3::render::medianFilter3x3(src.data(), fast.data()), 0);
    lep3::naive::median3x3(src.data(), slow.data());
    ASSERT_EQ(fast, slow) << what;
    lep3::render::medianFilter3x3(src.data(), src.data());
    ASSERT_EQ(src, slow) << what << ", in place";
}

// Random frames, full-range and over two to six levels so that ties are frequent; then
// edges, ramps and impulses, many of them meeting the border rows and columns.
TEST_P(MedianFilter, MatchesSortNineOnRandomAndStructuredFrames)
{
    std::mt19937 rng(3);
    for (int round = 0; round < 200; ++round) {
        const uint32_t levels = round % 2 ? 256 : 2 + round % 5, step = 255 / (levels - 1);
        expect_same_as_reference([&](size_t, size_t) { return rng() % levels * step; }, std::to_string(round));
    }
    const std::pair<const char *, Pattern> patterns[] = {
        {"ramp", [](size_t x, size_t y) { return x + y; }},
        {"checkerboard", [](size_t x, size_t y) { return (x + y) % 2 ? 255 : 0; }},
        {"bright border", [](size_t x, size_t y) { return x == 0 || y == 0 || x == 159 || y == 119 ? 255 : 1; }},
        {"impulses", [&](size_t, size_t) { return rng() % 50 == 0 ? 255 : (rng() % 50 == 0 ? 0 : 128); }},
    };
    for (const auto &[name, pattern] : patterns)
        expect_same_as_reference(pattern, name);
}

TEST_P(Gray8Pipeline, AllModesMatchTheNaivePipeline)
{
    std::mt19937 rng(11);
    lep3::naive::Gray8Converter reference;
    RawFrame raw;
    GreyFrame fast, slow;
    const auto expect_same = [&](bool hold) {
        uint16_t fast_max = 0, fast_min = 0, slow_max = 0, slow_min = 0;
        Gray14ToGray8(raw.data(), fast.data(), &fast_max, &fast_min, hold ? 1 : 0);
        reference.convert(raw.data(), slow.data(), &slow_max, &slow_min, hold);
        ASSERT_EQ(std::tie(fast, fast_max, fast_min), std::tie(slow, slow_max, slow_min));
    };
    for (int round = 0; round < 60; ++round) {
        // Every fourth scene nearly flat; every third call held.
        const uint32_t base = rng() % 16384, spread = round % 4 == 0 ? rng() % 4 : rng() % (16384 - base + 1);
        for (auto &p : raw)
            p = static_cast<uint16_t>(base + (spread ? rng() % (spread + 1) : 0));
        SCOPED_TRACE(testing::Message() << "round " << round);
        expect_same(round % 3 == 0); // the first over the initial held range, 0 over 65535
        const uint32_t user_max = rng() % 20000, user_min = rng() % 20000;
        Gray14ToGray8WithUserSetPalette(raw.data(), fast.data(), user_max, user_min);
        lep3::naive::user_range(raw.data(), slow.data(), user_max, user_min);
        ASSERT_EQ(fast, slow) << "user range " << user_min << ".." << user_max;
    }
    // Worked numbers: 127.5 truncated; a flat frame scaled against 14 bits, 8000 * 255 / 16383.
    for (auto [left, middle, right, grey] : {std::array<uint16_t, 4>{1000, 1500, 2000, 127}, {8000, 8000, 8000, 124}}) {
        raw = bands(left, middle, right);
        expect_same(false);
        EXPECT_EQ(fast[9600 + 80], grey);
    }
    // Held ranges a host writes may exceed 16 bits or be inverted; the same rule applies.
    raw = bands(100, 40000, 65535);
    for (auto [max, min] : {std::pair<uint32_t, uint32_t>{100000, 50}, {70000, 65000}, {5, 100000}, {300000, 250000}}) {
        SCOPED_TRACE(testing::Message() << min << ".." << max);
        held_range_max = reference.held_max = max;
        held_range_min = reference.held_min = min;
        expect_same(true);
    }
}

INSTANTIATE_TEST_SUITE_P(, Gray8Stretch, lep3::test::kEveryVectorLevel, lep3::test::vector_level_name);
INSTANTIATE_TEST_SUITE_P(, Gray8Pipeline, lep3::test::kEveryVectorLevel, lep3::test::vector_level_name);
INSTANTIATE_TEST_SUITE_P(, MedianFilter, lep3::test::kEveryVectorLevel, lep3::test::vector_level_name);

} // namespace
