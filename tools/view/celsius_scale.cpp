#include "tools/view/celsius_scale.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>

#include "tools/frame_pump.h"
#include "tools/radiometry.h"

namespace lep3tool::view {

namespace {

constexpr uint32_t kRawValues = std::numeric_limits<uint16_t>::max() + 1U;

} // namespace

CelsiusScale::CelsiusScale(const lep3_rbfo_t &rbfo) : rbfo_(rbfo), celsius_(kRawValues)
{
    // Frames of consecutive raw values through the frame conversion: the table holds
    // exactly what a frame's temperatures would be.
    std::vector<uint16_t> raw(kFramePixels);
    std::vector<float> celsius(kFramePixels);
    for (uint32_t base = 0; base < kRawValues; base += kFramePixels) {
        for (uint32_t i = 0; i < kFramePixels; ++i)
            raw[i] = static_cast<uint16_t>(std::min(base + i, kRawValues - 1));
        frame_celsius(raw.data(), rbfo, celsius);
        const uint32_t n = std::min(kFramePixels, kRawValues - base);
        std::copy_n(celsius.begin(), n, celsius_.begin() + base);
    }
    // T = B / ln(R / (S - O) + F) rises with S above O; below it there is no temperature.
    first_ = std::min<uint32_t>(rbfo.o + 1, kRawValues - 1);
    while (first_ + 1 < kRawValues && !std::isfinite(celsius_[first_]))
        ++first_;
}

std::optional<std::pair<uint16_t, uint16_t>> CelsiusScale::raw_range(double lo, double hi) const
{
    const std::span<const float> rising(celsius_.begin() + first_, celsius_.end());
    const auto low = std::partition_point(rising.begin(), rising.end(), [lo](float c) { return c < lo; });
    const auto high = std::partition_point(rising.begin(), rising.end(), [hi](float c) { return c <= hi; });
    if (low == rising.end() || high == rising.begin() || high <= low)
        return std::nullopt;
    const auto lo_raw = static_cast<uint16_t>(first_ + (low - rising.begin()));
    const auto hi_raw = static_cast<uint16_t>(first_ + (high - rising.begin()) - 1);
    return std::make_pair(lo_raw, hi_raw);
}

} // namespace lep3tool::view
