#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "render/naive_reference.h"
#include "render/render_internal.h"

namespace {

using lep3::render::kFrameHeight;
using lep3::render::kFramePixels;
using lep3::render::kFrameWidth;
using lep3::render::medianFilter3x3;
using Frame = std::array<uint8_t, kFramePixels>;

Frame make(const std::function<uint8_t(size_t x, size_t y)> &value)
{
    Frame f;
    for (size_t y = 0; y < kFrameHeight; ++y)
        for (size_t x = 0; x < kFrameWidth; ++x)
            f[y * kFrameWidth + x] = value(x, y);
    return f;
}

void expect_same_as_reference(const Frame &src, const char *what)
{
    Frame fast;
    Frame slow;
    EXPECT_EQ(medianFilter3x3(src.data(), fast.data()), 0);
    lep3::naive::median3x3(src.data(), slow.data());
    ASSERT_EQ(fast, slow) << what;
}

TEST(MedianFilter, MatchesSortNineOnRandomFrames)
{
    std::mt19937 rng(3);
    for (int round = 0; round < 200; ++round) {
        // Full-range noise, and noise over few levels so that ties are frequent.
        const uint32_t levels = round % 2 ? 256 : 2 + round % 5;
        const Frame src =
            make([&](size_t, size_t) { return static_cast<uint8_t>(rng() % levels * (255 / (levels - 1))); });
        expect_same_as_reference(src, "random");
    }
}

TEST(MedianFilter, MatchesSortNineOnStructuredFrames)
{
    std::mt19937 rng(5);
    const std::vector<std::pair<const char *, std::function<uint8_t(size_t, size_t)>>> patterns = {
        {"horizontal ramp", [](size_t x, size_t) { return static_cast<uint8_t>(x); }},
        {"vertical ramp", [](size_t, size_t y) { return static_cast<uint8_t>(2 * y); }},
        {"diagonal", [](size_t x, size_t y) { return static_cast<uint8_t>(x + y); }},
        {"checkerboard", [](size_t x, size_t y) { return static_cast<uint8_t>((x + y) % 2 ? 255 : 0); }},
        {"stripes", [](size_t x, size_t) { return static_cast<uint8_t>(x % 3 == 0 ? 200 : 10); }},
        {"bright border",
         [](size_t x, size_t y) {
             return static_cast<uint8_t>(x == 0 || y == 0 || x == kFrameWidth - 1 || y == kFrameHeight - 1 ? 255 : 1);
         }},
        {"impulses",
         [&](size_t, size_t) { return static_cast<uint8_t>(rng() % 50 == 0 ? 255 : (rng() % 50 == 0 ? 0 : 128)); }},
        {"extremes", [&](size_t, size_t) { return static_cast<uint8_t>(rng() % 2 ? 255 : 0); }},
    };
    for (const auto &[name, pattern] : patterns)
        expect_same_as_reference(make(pattern), name);
}

TEST(MedianFilter, InPlaceFilteringReadsOnlyUnfilteredValues)
{
    std::mt19937 rng(9);
    Frame frame = make([&](size_t, size_t) { return static_cast<uint8_t>(rng()); });
    Frame expected;
    lep3::naive::median3x3(frame.data(), expected.data());
    medianFilter3x3(frame.data(), frame.data());
    EXPECT_EQ(frame, expected);
}

TEST(MedianFilter, RemovesALonePixelAndKeepsAUniformFrame)
{
    Frame uniform;
    uniform.fill(77);
    Frame out;
    medianFilter3x3(uniform.data(), out.data());
    EXPECT_EQ(out, uniform);

    Frame spot = uniform;
    spot[60 * kFrameWidth + 80] = 255;
    medianFilter3x3(spot.data(), out.data());
    EXPECT_EQ(out, uniform);
}

TEST(MedianFilter, BordersCopyTheNearestFilteredRowThenColumn)
{
    std::mt19937 rng(13);
    const Frame src = make([&](size_t, size_t) { return static_cast<uint8_t>(rng()); });
    Frame out;
    medianFilter3x3(src.data(), out.data());
    const auto px = [&](size_t x, size_t y) { return out[y * kFrameWidth + x]; };
    for (size_t x = 1; x + 1 < kFrameWidth; ++x) {
        EXPECT_EQ(px(x, 0), px(x, 1));
        EXPECT_EQ(px(x, kFrameHeight - 1), px(x, kFrameHeight - 2));
    }
    for (size_t y = 0; y < kFrameHeight; ++y) {
        EXPECT_EQ(px(0, y), px(1, y));
        EXPECT_EQ(px(kFrameWidth - 1, y), px(kFrameWidth - 2, y));
    }
    // Corners end up with the filtered value diagonally inside them.
    EXPECT_EQ(px(0, 0), px(1, 1));
    EXPECT_EQ(px(kFrameWidth - 1, kFrameHeight - 1), px(kFrameWidth - 2, kFrameHeight - 2));
}

} // namespace
