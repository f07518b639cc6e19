#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "render/naive_reference.h"
#include "render/render_internal.h"
#include "render/vector_levels.h"

namespace {

using lep3::render::kFramePixels;
using Frame = std::array<uint8_t, kFramePixels>;
using Pattern = std::function<int(size_t x, size_t y)>;
using MedianFilter = lep3::test::AtEveryVectorLevel;

// Into a separate frame and in place, where the filter must read only unfiltered values.
void expect_same_as_reference(const Pattern &value, const std::string &what)
{
    Frame src, fast, slow;
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

INSTANTIATE_TEST_SUITE_P(, MedianFilter, lep3::test::kEveryVectorLevel, lep3::test::vector_level_name);

} // namespace
