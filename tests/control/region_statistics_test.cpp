// Spots, boxes and lines of a temperature frame: which pixels they take, where their
// extremes lie, and how NaN pixels are left out.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

#include "lep3.h"

namespace {

constexpr int kWidth = 160, kHeight = 120;
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

// Every pixel holds its own index, so a value names its position.
std::vector<float> indexed_frame()
{
    std::vector<float> f(kWidth * kHeight);
    for (size_t i = 0; i < f.size(); ++i)
        f[i] = static_cast<float>(i);
    return f;
}

lep3_region_stats_t measure(const std::vector<float> &frame, lep3_region_t r)
{
    lep3_region_stats_t s{};
    EXPECT_EQ(LEP3_MeasureRegion(frame.data(), &r, &s), 0);
    return s;
}

auto positions(const lep3_region_stats_t &s)
{
    return std::make_tuple(s.min_x, s.min_y, s.max_x, s.max_y);
}

// The whole frame as a box given by its corners in each of the four orders, single-pixel
// boxes and spots at the four corners.
TEST(Regions, BoxesTakeTheirCornersInAnyOrderAndOnePixelBoxesAreSpots)
{
    const std::vector<float> f = indexed_frame();
    for (const auto &[x0, y0, x1, y1] : std::vector<std::tuple<int, int, int, int>>{
             {0, 0, 159, 119}, {159, 119, 0, 0}, {0, 119, 159, 0}, {159, 0, 0, 119}}) {
        const lep3_region_stats_t s = measure(f, {LEP3_REGION_BOX, x0, y0, x1, y1});
        EXPECT_EQ(positions(s), std::make_tuple(0, 0, 159, 119));
        EXPECT_EQ(std::make_tuple(s.min, s.max, s.mean, s.pixels, s.nan_pixels),
                  std::make_tuple(0.0F, 19199.0F, 9599.5F, 19200U, 0U));
    }
    for (const auto &[x, y] : std::vector<std::pair<int, int>>{{0, 0}, {159, 0}, {0, 119}, {159, 119}}) {
        const float v = static_cast<float>(y * kWidth + x);
        for (const int kind : {LEP3_REGION_BOX, LEP3_REGION_SPOT, LEP3_REGION_LINE}) {
            const lep3_region_stats_t s = measure(f, {kind, x, y, x, y});
            EXPECT_EQ(std::make_tuple(s.min, s.max, s.mean, s.pixels), std::make_tuple(v, v, v, 1U)) << kind;
            EXPECT_EQ(positions(s), std::make_tuple(x, y, x, y));
        }
    }
}

// Lines in the eight directions, steep and shallow: a frame of NaN but for the pixels
// nearest the ideal line (odd major extents leave no ties), so every pixel of the line
// must be one of those and the count is the major extent plus one.
TEST(Regions, LinesInEveryDirectionTakeThePixelsNearestTheIdealLine)
{
    constexpr int cx = 80, cy = 60;
    std::vector<std::pair<int, int>> directions;
    for (const auto &[a, b] : {std::pair{21, 8}, {31, 0}, {25, 25}})
        for (const int sx : {1, -1})
            for (const int sy : {1, -1})
                directions.insert(directions.end(), {{sx * a, sy * b}, {sx * b, sy * a}});
    for (const auto &[dx, dy] : directions) {
        const int steps = std::max(std::abs(dx), std::abs(dy));
        std::vector<float> f(kWidth * kHeight, kNan);
        for (int k = 0; k <= steps; ++k) {
            const int x = cx + static_cast<int>(std::lround(static_cast<double>(dx) * k / steps));
            const int y = cy + static_cast<int>(std::lround(static_cast<double>(dy) * k / steps));
            f[static_cast<size_t>(y * kWidth + x)] = static_cast<float>(k);
        }
        const lep3_region_stats_t s = measure(f, {LEP3_REGION_LINE, cx, cy, cx + dx, cy + dy});
        EXPECT_EQ(std::make_tuple(s.pixels, s.nan_pixels), std::make_tuple(static_cast<uint32_t>(steps) + 1, 0U))
            << dx << "," << dy;
        EXPECT_EQ(positions(s), std::make_tuple(cx, cy, cx + dx, cy + dy));
        EXPECT_EQ(s.mean, steps / 2.0F);
        const lep3_region_stats_t back = measure(f, {LEP3_REGION_LINE, cx + dx, cy + dy, cx, cy});
        EXPECT_EQ(back.pixels, s.pixels);
    }
}

// NaN pixels are counted, not averaged; a region of NaN alone has no statistics.
TEST(Regions, NanPixelsAreCountedAndLeftOut)
{
    std::vector<float> f(kWidth * kHeight, 20.0F);
    f[5 * kWidth + 5] = kNan;
    f[5 * kWidth + 6] = 50.0F;
    f[6 * kWidth + 4] = -5.0F;
    f[7 * kWidth + 7] = kNan;
    const lep3_region_stats_t s = measure(f, {LEP3_REGION_BOX, 4, 5, 7, 7});
    EXPECT_EQ(std::make_tuple(s.pixels, s.nan_pixels, s.min, s.max), std::make_tuple(10U, 2U, -5.0F, 50.0F));
    EXPECT_EQ(positions(s), std::make_tuple(4, 6, 6, 5));
    EXPECT_FLOAT_EQ(s.mean, (8 * 20.0F + 50 - 5) / 10);
    const lep3_region_stats_t spot = measure(f, {LEP3_REGION_SPOT, 5, 5, 0, 0});
    EXPECT_EQ(std::make_tuple(spot.pixels, spot.nan_pixels), std::make_tuple(0U, 1U));
    EXPECT_TRUE(std::isnan(spot.min) && std::isnan(spot.max) && std::isnan(spot.mean));
    EXPECT_EQ(positions(spot), std::make_tuple(-1, -1, -1, -1));
}

// Coordinates outside the frame, an unknown kind and null pointers are refused, and the
// result is not written.
TEST(Regions, OutsideTheFrameUnknownKindsAndNullPointersAreRefused)
{
    const std::vector<float> f = indexed_frame();
    const lep3_region_stats_t untouched{1, 2, 3, 4, 5, 6, 7, 8, 9};
    // clang-format off
    for (const lep3_region_t r : std::vector<lep3_region_t>{
             {LEP3_REGION_SPOT, 160, 0, 0, 0}, {LEP3_REGION_SPOT, 0, 120, 0, 0}, {LEP3_REGION_SPOT, -1, 0, 0, 0},
             {LEP3_REGION_BOX, 0, 0, 160, 10}, {LEP3_REGION_BOX, 0, -1, 10, 10}, {LEP3_REGION_LINE, 0, 0, 10, 120},
             {LEP3_REGION_LINE, -3, 0, 10, 10}, {3, 0, 0, 0, 0}}) {
        // clang-format on
        lep3_region_stats_t s = untouched;
        EXPECT_EQ(LEP3_MeasureRegion(f.data(), &r, &s), -3) << r.kind << " " << r.x0 << "," << r.y0;
        EXPECT_EQ(s.pixels, 8U);
    }
    const lep3_region_t spot{LEP3_REGION_SPOT, 0, 0, 0, 0};
    lep3_region_stats_t s = untouched;
    EXPECT_EQ(LEP3_MeasureRegion(nullptr, &spot, &s), -5);
    EXPECT_EQ(LEP3_MeasureRegion(f.data(), nullptr, &s), -5);
    EXPECT_EQ(LEP3_MeasureRegion(f.data(), &spot, nullptr), -5);
}

} // namespace
