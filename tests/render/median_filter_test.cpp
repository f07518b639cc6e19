#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <random>
#include <string>

#include "render/naive_reference.h"
#include "render/render_internal.h"

namespace {

using lep3::render::kFrameHeight;
using lep3::render::kFramePixels;
using lep3::render::kFrameWidth;
using lep3::render::medianFilter3x3;
using Frame = std::array<uint8_t, kFramePixels>;

Frame make(const std::function<int(size_t x, size_t y)> &value)
{
    Frame f;
    for (size_t i = 0; i < kFramePixels; ++i)
        f[i] = static_cast<uint8_t>(value(i % kFrameWidth, i / kFrameWidth));
    return f;
}

// Into a separate frame and in place, where the filter must read only unfiltered values.
void expect_same_as_reference(Frame src, const std::string &what)
{
    Frame fast;
    Frame slow;
    EXPECT_EQ(medianFilter3x3(src.data(), fast.data()), 0);
    lep3::naive::median3x3(src.data(), slow.data());
    ASSERT_EQ(fast, slow) << what;
    medianFilter3x3(src.data(), src.data());
    ASSERT_EQ(src, slow) << what << ", in place";
}

TEST(MedianFilter, MatchesSortNineOnRandomFramesWithAndWithoutTies)
{
    std::mt19937 rng(3);
    for (int round = 0; round < 200; ++round) {
        // Full-range noise, and noise over two to six levels so that ties are frequent.
        const uint32_t levels = round % 2 ? 256 : 2 + round % 5;
        const uint32_t step = 255 / (levels - 1);
        expect_same_as_reference(make([&](size_t, size_t) { return rng() % levels * step; }),
                                 "round " + std::to_string(round));
    }
}

// Edges, ramps and impulses, many of them meeting the border rows and columns.
TEST(MedianFilter, MatchesSortNineOnStructuredFramesBordersIncluded)
{
    std::mt19937 rng(5);
    const std::pair<const char *, std::function<int(size_t, size_t)>> patterns[] = {
        {"horizontal ramp", [](size_t x, size_t) { return x; }},
        {"vertical ramp", [](size_t, size_t y) { return 2 * y; }},
        {"diagonal", [](size_t x, size_t y) { return (x + y) & 0xFF; }},
        {"checkerboard", [](size_t x, size_t y) { return (x + y) % 2 ? 255 : 0; }},
        {"stripes", [](size_t x, size_t) { return x % 3 == 0 ? 200 : 10; }},
        {"bright border",
         [](size_t x, size_t y) {
             return x == 0 || y == 0 || x == kFrameWidth - 1 || y == kFrameHeight - 1 ? 255 : 1;
         }},
        {"impulses", [&](size_t, size_t) { return rng() % 50 == 0 ? 255 : (rng() % 50 == 0 ? 0 : 128); }},
        {"extremes", [&](size_t, size_t) { return rng() % 2 ? 255 : 0; }},
    };
    for (const auto &[name, pattern] : patterns)
        expect_same_as_reference(make(pattern), name);
}

} // namespace
