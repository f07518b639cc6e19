// Statistics of a spot, a box or a line of a temperature frame: minimum, maximum, mean,
// where the extremes lie, and how many pixels counted and how many were NaN.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "control/control_internal.h"
#include "lep3.h"
#include "render/render_internal.h"

namespace {

using lep3::control::kNullPointer;
using lep3::control::kOk;
using lep3::control::kOutOfRange;
using lep3::render::kFrameWidth;

constexpr int kWidth = static_cast<int>(kFrameWidth);
constexpr int kHeight = static_cast<int>(lep3::render::kFramePixels / kFrameWidth);

bool inside(int x, int y)
{
    return x >= 0 && x < kWidth && y >= 0 && y < kHeight;
}

// The running statistics; pixels are offered in the region's own order, and the first
// pixel holding an extreme keeps its position.
class Tally {
  public:
    void add(float t, int x, int y)
    {
        if (std::isnan(t)) {
            ++nan_;
            return;
        }
        if (count_ == 0 || t < min_) {
            min_ = t;
            min_x_ = x;
            min_y_ = y;
        }
        if (count_ == 0 || t > max_) {
            max_ = t;
            max_x_ = x;
            max_y_ = y;
        }
        sum_ += t;
        ++count_;
    }

    // One row of a box, x0..x1: the row's extremes, sum and count are gathered in vector
    // lanes (a NaN fails every compare, and its lane adds nothing and isn't counted), and
    // positions looked up only for a row that improves an extreme.
    void add_row(const float *row, int y, int x0, int x1)
    {
        constexpr int kLanes = 4; // the vector every processor of the build has
        using Floats = float __attribute__((vector_size(kLanes * sizeof(float))));
        using Masks = int32_t __attribute__((vector_size(kLanes * sizeof(float))));
        constexpr float kInf = std::numeric_limits<float>::infinity();
        // Two sets of lanes a step keep two dependency chains in flight.
        std::array<Floats, 2> lo{Floats{} + kInf, Floats{} + kInf};
        std::array<Floats, 2> hi{Floats{} - kInf, Floats{} - kInf};
        std::array<Floats, 2> sums{};
        std::array<Masks, 2> numbers{};
        int x = x0;
        for (; x + 2 * kLanes <= x1 + 1; x += 2 * kLanes) {
            for (size_t j = 0; j < 2; ++j) {
                Floats t;
                std::memcpy(&t, row + x + static_cast<int>(j) * kLanes, sizeof(t));
                const Masks number = t == t;
                lo[j] = t < lo[j] ? t : lo[j];
                hi[j] = t > hi[j] ? t : hi[j];
                sums[j] += reinterpret_cast<Floats>(reinterpret_cast<Masks>(t) & number);
                numbers[j] -= number;
            }
        }
        float row_lo = kInf;
        float row_hi = -kInf;
        double sum = 0.0;
        uint32_t count = 0;
        for (size_t j = 0; j < 2; ++j)
            for (int k = 0; k < kLanes; ++k) {
                row_lo = lo[j][k] < row_lo ? lo[j][k] : row_lo;
                row_hi = hi[j][k] > row_hi ? hi[j][k] : row_hi;
                sum += sums[j][k];
                count += static_cast<uint32_t>(numbers[j][k]);
            }
        for (; x <= x1; ++x) {
            const float t = row[x];
            if (t != t)
                continue;
            row_lo = t < row_lo ? t : row_lo;
            row_hi = t > row_hi ? t : row_hi;
            sum += t;
            ++count;
        }
        nan_ += static_cast<uint32_t>(x1 - x0 + 1) - count;
        if (count == 0)
            return;
        if (count_ == 0 || row_lo < min_)
            place(row, y, x0, row_lo, min_, min_x_, min_y_);
        if (count_ == 0 || row_hi > max_)
            place(row, y, x0, row_hi, max_, max_x_, max_y_);
        sum_ += sum;
        count_ += count;
    }

    lep3_region_stats_t stats() const
    {
        constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
        if (count_ == 0)
            return lep3_region_stats_t{kNan, kNan, kNan, -1, -1, -1, -1, 0, nan_};
        return lep3_region_stats_t{min_,   max_, static_cast<float>(sum_ / count_), min_x_, min_y_, max_x_, max_y_,
                                   count_, nan_};
    }

  private:
    // The extreme v of a row becomes the region's, at the first pixel holding it.
    static void place(const float *row, int y, int x0, float v, float &extreme, int &ex, int &ey)
    {
        int x = x0;
        while (row[x] != v)
            ++x;
        extreme = v;
        ex = x;
        ey = y;
    }

    float min_ = 0.0F;
    float max_ = 0.0F;
    int min_x_ = -1, min_y_ = -1, max_x_ = -1, max_y_ = -1;
    double sum_ = 0.0;
    uint32_t count_ = 0;
    uint32_t nan_ = 0;
};

// Bresenham's line from (x0, y0) to (x1, y1), both ends included, in every octant: the
// error term decides at each step whether x, y or both advance.
void walk_line(const float *celsius, int x0, int y0, int x1, int y1, Tally &tally)
{
    const int dx = std::abs(x1 - x0);
    const int dy = -std::abs(y1 - y0);
    const int sx = x0 < x1 ? 1 : -1;
    const int sy = y0 < y1 ? 1 : -1;
    int error = dx + dy;
    for (int x = x0, y = y0;;) {
        tally.add(celsius[y * kWidth + x], x, y);
        if (x == x1 && y == y1)
            break;
        const int twice = 2 * error;
        if (twice >= dy) {
            error += dy;
            x += sx;
        }
        if (twice <= dx) {
            error += dx;
            y += sy;
        }
    }
}

} // namespace

extern "C" LEP3_API int LEP3_MeasureRegion(const float *celsius, const lep3_region_t *r, lep3_region_stats_t *out)
{
    if (celsius == nullptr || r == nullptr || out == nullptr)
        return kNullPointer;
    Tally tally;
    switch (r->kind) {
    case LEP3_REGION_SPOT:
        if (!inside(r->x0, r->y0))
            return kOutOfRange;
        tally.add(celsius[r->y0 * kWidth + r->x0], r->x0, r->y0);
        break;
    case LEP3_REGION_BOX: {
        if (!inside(r->x0, r->y0) || !inside(r->x1, r->y1))
            return kOutOfRange;
        const int left = std::min(r->x0, r->x1);
        const int right = std::max(r->x0, r->x1);
        for (int y = std::min(r->y0, r->y1); y <= std::max(r->y0, r->y1); ++y)
            tally.add_row(celsius + static_cast<ptrdiff_t>(y) * kWidth, y, left, right);
        break;
    }
    case LEP3_REGION_LINE:
        if (!inside(r->x0, r->y0) || !inside(r->x1, r->y1))
            return kOutOfRange;
        walk_line(celsius, r->x0, r->y0, r->x1, r->y1, tally);
        break;
    default:
        return kOutOfRange;
    }
    *out = tally.stats();
    return kOk;
}
