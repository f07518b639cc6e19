#include "hostkit/frame_range.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "hostkit/args.h"
#include "hostkit/text_format.h"

namespace lep3tool {

namespace {

constexpr int64_t kRawMax = 65535;
constexpr size_t kPixels = 19200;
// The library's conversion constants, for a first estimate of a temperature's raw value.
constexpr double kB = 1428.0;
constexpr double kF = 1.0;
constexpr double kKelvinAtZeroCelsius = 273.15;
// Raw values tried below the estimate: the library's single-precision conversion may place
// the first value at or above a temperature a few steps from the double-precision one.
constexpr int kSearchMargin = 64;

// "20C" or "20.5c": the number before the C, or nothing.
std::optional<double> celsius_value(std::string_view text)
{
    if (text.size() < 2 || (text.back() != 'C' && text.back() != 'c'))
        return std::nullopt;
    return parse_number(text.substr(0, text.size() - 1), "--range temperature");
}

} // namespace

FrameRange FrameRange::parse(std::string_view text)
{
    if (text == "auto")
        return {};
    if (text == "held")
        return FrameRange{Mode::held, 0, 0};
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        throw UsageError("--range takes auto, held, MIN:MAX, 20C:35C or p1:p99, not '" + std::string(text) + "'");
    const std::string_view lo = text.substr(0, colon);
    const std::string_view hi = text.substr(colon + 1);
    FrameRange range;
    if (!lo.empty() && (lo[0] == 'p' || lo[0] == 'P')) {
        if (hi.empty() || (hi[0] != 'p' && hi[0] != 'P'))
            throw UsageError("--range: both ends of a percentile range start with p, as in p1:p99");
        range = {Mode::percentile, parse_number(lo.substr(1), "--range percentile"),
                 parse_number(hi.substr(1), "--range percentile")};
        if (range.low < 0 || range.high > 100)
            throw UsageError("--range percentiles lie between p0 and p100");
    } else if (const auto c_lo = celsius_value(lo)) {
        const auto c_hi = celsius_value(hi);
        if (!c_hi)
            throw UsageError("--range: both ends of a range in degrees end with C, as in 20C:35C");
        range = {Mode::celsius, *c_lo, *c_hi};
    } else {
        range = {Mode::raw, static_cast<double>(parse_integer(lo, "--range minimum", 0, kRawMax)),
                 static_cast<double>(parse_integer(hi, "--range maximum", 0, kRawMax))};
    }
    if (range.low >= range.high)
        throw UsageError("--range minimum must be below its maximum");
    return range;
}

std::string FrameRange::describe() const
{
    switch (mode) {
    case Mode::automatic:
        return "auto";
    case Mode::held:
        return "held";
    case Mode::raw:
        return format_text("%.0f:%.0f", low, high);
    case Mode::celsius:
        return format_text("%gC:%gC", low, high);
    case Mode::percentile:
        break;
    }
    return format_text("p%g:p%g", low, high);
}

uint16_t raw_at_celsius(double celsius, const lep3_rbfo_t &rbfo)
{
    // Raw values at or below O have no temperature; above it the temperature rises with
    // the raw value. Estimate from the formula, then let the library's conversion of a
    // run of raw values from a little below the estimate decide.
    const double kelvin = celsius + kKelvinAtZeroCelsius;
    const double estimate = rbfo.o + rbfo.r / (std::exp(kB / kelvin) - kF);
    const double first_valid = rbfo.o + 1.0;
    const double top_start = static_cast<double>(kRawMax + 1 - kPixels);
    const double start = std::clamp(std::isfinite(estimate) ? estimate - kSearchMargin : first_valid, first_valid,
                                    std::max(first_valid, top_start));
    std::vector<uint16_t> raw(kPixels);
    for (size_t i = 0; i < kPixels; ++i)
        raw[i] = static_cast<uint16_t>(std::min<double>(kRawMax, start + static_cast<double>(i)));
    std::vector<float> temps(kPixels);
    LEP3_LuxToKelvin(raw.data(), temps.data(), static_cast<int32_t>(rbfo.r), static_cast<int32_t>(rbfo.o));
    LEP3_KelvinToCelsius(temps.data());
    for (size_t i = 0; i < kPixels; ++i)
        if (std::isfinite(temps[i]) && temps[i] >= celsius)
            return raw[i];
    return static_cast<uint16_t>(kRawMax);
}

std::string range_miss(const uint16_t *raw, uint16_t used_min, uint16_t used_max, const std::string &range_text)
{
    const auto [lo, hi] = std::minmax_element(raw, raw + kPixels);
    if (*hi >= used_min && *lo <= used_max)
        return {};
    std::string given = range_text;
    if (given != std::to_string(used_min) + ":" + std::to_string(used_max))
        given += " (raw " + std::to_string(used_min) + ":" + std::to_string(used_max) + ")";
    return "the range " + given + " lies outside the frame's raw values, " + std::to_string(*lo) + " to " +
           std::to_string(*hi) + ": the picture is one colour (a bare MIN:MAX is raw; degrees are 20C:30C)";
}

GreyConverter::GreyConverter(FrameRange range, const std::optional<lep3_rbfo_t> &rbfo) : range_(range)
{
    if (range_.mode == FrameRange::Mode::raw) {
        fixed_min_ = static_cast<uint16_t>(range_.low);
        fixed_max_ = static_cast<uint16_t>(range_.high);
    } else if (range_.mode == FrameRange::Mode::celsius) {
        if (!rbfo)
            throw std::runtime_error("a range in degrees needs the camera's RBFO parameters, which are unavailable");
        fixed_min_ = raw_at_celsius(range_.low, *rbfo);
        fixed_max_ = raw_at_celsius(range_.high, *rbfo);
    }
}

void GreyConverter::convert(const uint16_t *raw, uint8_t *gray8, uint16_t &used_min, uint16_t &used_max)
{
    switch (range_.mode) {
    case FrameRange::Mode::raw:
    case FrameRange::Mode::celsius:
        used_min = fixed_min_;
        used_max = fixed_max_;
        break;
    case FrameRange::Mode::percentile: {
        // The values at the two percentiles (nearest rank); those beyond them take the
        // palette's ends.
        std::vector<uint16_t> sorted(raw, raw + kPixels);
        auto at = [&sorted](double percentile) {
            const auto rank = static_cast<std::ptrdiff_t>(std::lround(percentile / 100.0 * (kPixels - 1)));
            std::nth_element(sorted.begin(), sorted.begin() + rank, sorted.end());
            return sorted[static_cast<size_t>(rank)];
        };
        used_min = at(range_.low);
        used_max = at(range_.high);
        break;
    }
    case FrameRange::Mode::held:
        if (have_held_) {
            used_min = fixed_min_;
            used_max = fixed_max_;
            break;
        }
        [[fallthrough]];
    case FrameRange::Mode::automatic:
        // Held mode finds the range in its first frame like automatic mode, then keeps it
        // here rather than in the library's held range, which every converter shares. The
        // library's held conversion is the user-range conversion with that range.
        Gray14ToGray8(raw, gray8, &used_max, &used_min, 0);
        if (range_.mode == FrameRange::Mode::held) {
            fixed_min_ = used_min;
            fixed_max_ = used_max;
            have_held_ = true;
        }
        return;
    }
    Gray14ToGray8WithUserSetPalette(raw, gray8, used_max, used_min);
}

} // namespace lep3tool
