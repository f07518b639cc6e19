#include "thermo/readings_json.h"

#include <cmath>

namespace lep3::thermo {

namespace {

nlohmann::ordered_json hundredths_or_null(float v)
{
    return std::isnan(v) ? nlohmann::ordered_json(nullptr)
                         : nlohmann::ordered_json(std::round(static_cast<double>(v) * 100) / 100);
}

} // namespace

nlohmann::ordered_json object_json(const lep3_object_params_t &p)
{
    return {{"emissivity", p.emissivity}, {"reflected_c", p.reflected_c},
            {"air_c", p.air_c},           {"humidity", p.humidity},
            {"distance_m", p.distance_m}, {"window_transmission", p.window_transmission},
            {"window_c", p.window_c}};
}

nlohmann::ordered_json region_json(const NamedRegion &r, const lep3_region_stats_t &s)
{
    const bool any = s.pixels > 0;
    const auto at = [any](int x, int y) {
        return any ? nlohmann::ordered_json::array({x, y}) : nlohmann::ordered_json(nullptr);
    };
    return {{"name", r.name},
            {"kind", region_kind_name(r.region.kind)},
            {"min_c", hundredths_or_null(s.min)},
            {"max_c", hundredths_or_null(s.max)},
            {"mean_c", hundredths_or_null(s.mean)},
            {"min_at", at(s.min_x, s.min_y)},
            {"max_at", at(s.max_x, s.max_y)},
            {"pixels", s.pixels},
            {"nan_pixels", s.nan_pixels}};
}

} // namespace lep3::thermo
