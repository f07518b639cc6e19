#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "lep3.h"
#include "render/naive_reference.h"
#include "render/render_internal.h"

namespace {

using lep3::render::kFrameHeight;
using lep3::render::kFramePixels;
using lep3::render::kFrameWidth;
using RawFrame = std::array<uint16_t, kFramePixels>;
using GreyFrame = std::array<uint8_t, kFramePixels>;

// A frame of three vertical bands, wide enough that the median filter keeps each band's
// value at the band's centre column.
RawFrame bands(uint16_t left, uint16_t middle, uint16_t right)
{
    RawFrame f;
    for (size_t y = 0; y < kFrameHeight; ++y)
        for (size_t x = 0; x < kFrameWidth; ++x)
            f[y * kFrameWidth + x] = x < 50 ? left : (x < 110 ? middle : right);
    return f;
}

uint8_t at(const GreyFrame &g, size_t x, size_t y = 60)
{
    return g[y * kFrameWidth + x];
}

TEST(Gray8WorkedNumbers, AutomaticRangeThenHeldRange)
{
    GreyFrame grey;
    uint16_t max = 0;
    uint16_t min = 0;
    const RawFrame first = bands(1000, 1500, 2000);
    EXPECT_EQ(Gray14ToGray8(first.data(), grey.data(), &max, &min, 0), 0);
    EXPECT_EQ(at(grey, 25), 0);
    EXPECT_EQ(at(grey, 80), 127); // 127.5 truncated
    EXPECT_EQ(at(grey, 130), 255);
    EXPECT_EQ(max, 2000);
    EXPECT_EQ(min, 1000);

    // Held: the same range, values outside it clamped, the range itself unchanged.
    const RawFrame second = bands(500, 1500, 3000);
    EXPECT_EQ(Gray14ToGray8(second.data(), grey.data(), &max, &min, 1), 0);
    EXPECT_EQ(at(grey, 25), 0);
    EXPECT_EQ(at(grey, 80), 127);
    EXPECT_EQ(at(grey, 130), 255);
    EXPECT_EQ(max, 2000);
    EXPECT_EQ(min, 1000);
    EXPECT_EQ(held_range_max, 2000U);
    EXPECT_EQ(held_range_min, 1000U);

    // The user range touches no held value.
    Gray14ToGray8WithUserSetPalette(second.data(), grey.data(), 3000, 500);
    EXPECT_EQ(held_range_max, 2000U);
    EXPECT_EQ(held_range_min, 1000U);
}

TEST(Gray8WorkedNumbers, FlatFramesScaleAgainstFourteenBitFullScale)
{
    RawFrame raw;
    raw.fill(8000);
    GreyFrame grey;
    uint16_t max = 0;
    uint16_t min = 0;
    Gray14ToGray8(raw.data(), grey.data(), &max, &min, 0);
    EXPECT_TRUE(std::all_of(grey.begin(), grey.end(), [](uint8_t g) { return g == 124; })); // 8000 * 255 / 16383
    EXPECT_EQ(max, 8000);
    EXPECT_EQ(min, 8000);
    Gray14ToGray8WithUserSetPalette(raw.data(), grey.data(), 16383, 16383);
    EXPECT_TRUE(std::all_of(grey.begin(), grey.end(), [](uint8_t g) { return g == 255; }));
}

TEST(Gray8WorkedNumbers, HeldModeBeforeAnyAutomaticCallIsBlack)
{
    const RawFrame raw = bands(1000, 5000, 9000);
    GreyFrame grey;
    grey.fill(0x77);
    uint16_t max = 1;
    uint16_t min = 1;
    Gray14ToGray8(raw.data(), grey.data(), &max, &min, 1);
    EXPECT_TRUE(std::all_of(grey.begin(), grey.end(), [](uint8_t g) { return g == 0; }));
    EXPECT_EQ(max, 0);
    EXPECT_EQ(min, 65535);
}

// The exact stretch against per-pixel division, over every 16-bit raw value, for every
// range width up to 1024 and a spread of wider ones, at several offsets, including
// widths whose 16-bit normalisation changes and ranges beyond 16 bits.
TEST(Gray8Stretch, MatchesPerPixelDivisionForEveryRawValue)
{
    std::vector<uint32_t> widths;
    for (uint32_t d = 1; d <= 64; ++d)
        widths.push_back(d);
    for (uint32_t d = 65; d < 0x10000; d = d * 9 / 8 + 7)
        widths.push_back(d);
    for (uint32_t d : {2047U, 2048U, 4095U, 4096U, 8191U, 8192U, 16383U, 16384U, 32767U, 32768U, 65535U})
        widths.push_back(d);

    const size_t frames = (0x10000 + kFramePixels - 1) / kFramePixels;
    std::vector<uint16_t> all(frames * kFramePixels);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<uint16_t>(i);

    GreyFrame out;
    for (uint32_t d : widths) {
        for (uint32_t min : {0U, 1000U, 0xFFFFU - d, 70000U}) {
            const uint32_t max = min + d;
            for (size_t f = 0; f < frames; ++f) {
                const uint16_t *raw = all.data() + f * kFramePixels;
                lep3::render::stretch_frame(raw, out.data(), max, min);
                for (size_t i = 0; i < kFramePixels; ++i)
                    ASSERT_EQ(out[i], lep3::naive::stretch_pixel(raw[i], max, min, true))
                        << "raw " << raw[i] << " range " << min << ".." << max;
            }
        }
    }
}

TEST(Gray8Stretch, UserRangesUpTo32BitsMatchPerPixelDivision)
{
    std::mt19937 rng(7);
    RawFrame raw;
    GreyFrame out;
    for (int round = 0; round < 200; ++round) {
        for (auto &p : raw)
            p = static_cast<uint16_t>(rng());
        uint32_t a = rng();
        uint32_t b = round % 2 ? rng() % 70000 : rng();
        const uint32_t max = std::max(a, b);
        const uint32_t min = std::min(a, b);
        if (max == min)
            continue;
        lep3::render::stretch_frame(raw.data(), out.data(), max, min);
        for (size_t i = 0; i < kFramePixels; ++i)
            ASSERT_EQ(out[i], lep3::naive::stretch_pixel(raw[i], max, min, true));
    }
}

// The whole conversion in all three modes against the naive pipeline.
TEST(Gray8Pipeline, AllModesMatchTheNaivePipelineOnRandomScenes)
{
    std::mt19937 rng(11);
    lep3::naive::Gray8Converter reference;
    RawFrame raw;
    GreyFrame fast;
    GreyFrame slow;
    for (int round = 0; round < 60; ++round) {
        const uint32_t base = rng() % 16384;
        const uint32_t spread = round % 4 == 0 ? rng() % 4 : rng() % (16384 - base + 1);
        for (auto &p : raw)
            p = static_cast<uint16_t>(base + (spread ? rng() % (spread + 1) : 0));
        const bool hold = round % 3 == 2;
        uint16_t max_fast = 0;
        uint16_t min_fast = 0;
        uint16_t max_slow = 0;
        uint16_t min_slow = 0;
        Gray14ToGray8(raw.data(), fast.data(), &max_fast, &min_fast, hold ? 1 : 0);
        reference.convert(raw.data(), slow.data(), &max_slow, &min_slow, hold);
        ASSERT_EQ(fast, slow) << "round " << round;
        ASSERT_EQ(max_fast, max_slow);
        ASSERT_EQ(min_fast, min_slow);

        const uint32_t user_max = rng() % 20000;
        const uint32_t user_min = rng() % 20000;
        Gray14ToGray8WithUserSetPalette(raw.data(), fast.data(), user_max, user_min);
        lep3::naive::user_range(raw.data(), slow.data(), user_max, user_min);
        ASSERT_EQ(fast, slow) << "user range " << user_min << ".." << user_max;
    }
}

TEST(Gray8Pipeline, HostWrittenHeldRangesBeyond16BitsFollowTheSameRule)
{
    RawFrame raw = bands(100, 40000, 65535);
    GreyFrame fast;
    GreyFrame slow;
    uint16_t max = 0;
    uint16_t min = 0;
    for (auto range : {std::pair<uint32_t, uint32_t>{100000, 50}, {70000, 65000}, {5, 100000}, {300000, 250000}}) {
        held_range_max = range.first;
        held_range_min = range.second;
        Gray14ToGray8(raw.data(), fast.data(), &max, &min, 1);
        lep3::naive::Gray8Converter reference{range.first, range.second};
        uint16_t rmax = 0;
        uint16_t rmin = 0;
        reference.convert(raw.data(), slow.data(), &rmax, &rmin, true);
        EXPECT_EQ(fast, slow) << range.first << " " << range.second;
        EXPECT_EQ(max, static_cast<uint16_t>(range.first));
        EXPECT_EQ(min, static_cast<uint16_t>(range.second));
    }
}

} // namespace
