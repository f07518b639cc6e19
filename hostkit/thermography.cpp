#include "hostkit/thermography.h"

#include <cmath>
#include <set>
#include <stdexcept>
#include <string_view>

#include "hostkit/frame_pump.h"
#include "hostkit/radiometry.h"
#include "hostkit/text_format.h"
#include "thermo/alarm.h"

namespace lep3tool {

namespace {

using lep3::thermo::NamedRegion;

float celsius_option(const ParsedArgs &args, std::string_view name, float fallback)
{
    const auto text = args.value(name);
    if (!text)
        return fallback;
    try {
        return static_cast<float>(lep3::thermo::parse_celsius(*text, "--" + std::string(name)));
    } catch (const std::invalid_argument &e) {
        throw UsageError(e.what());
    }
}

float number_option(const ParsedArgs &args, std::string_view name, float fallback)
{
    const auto text = args.value(name);
    return text ? static_cast<float>(parse_number(*text, "--" + std::string(name))) : fallback;
}

std::string degrees(float c)
{
    return celsius_text(c) + " °C";
}

} // namespace

ObjectSettings parse_object_settings(const ParsedArgs &args)
{
    ObjectSettings o;
    LEP3_DefaultObjectParams(&o.params);
    for (const OptionDef &d : kObjectOptions)
        o.given = o.given || args.has(d.name);
    lep3_object_params_t &p = o.params;
    p.emissivity = number_option(args, "emissivity", p.emissivity);
    p.reflected_c = celsius_option(args, "reflected", p.reflected_c);
    p.air_c = celsius_option(args, "air", p.air_c);
    if (auto h = args.value("humidity")) {
        const bool percent = h->ends_with("%");
        const double v = parse_number(percent ? h->substr(0, h->size() - 1) : *h, "--humidity");
        p.humidity = static_cast<float>(percent ? v / 100 : v);
    }
    p.distance_m = number_option(args, "distance", p.distance_m);
    p.window_transmission = number_option(args, "window", p.window_transmission);
    p.window_c = celsius_option(args, "window-temp", p.window_c);
    // The library is the judge of the ranges: one conversion of an empty frame.
    static const std::vector<uint16_t> probe(kFramePixels, 0);
    std::vector<float> out(kFramePixels);
    if (LEP3_RawToObjectCelsius(probe.data(), out.data(), 1, 0, &p) != 0)
        throw UsageError("object parameters out of range (" + object_text(p) +
                         "): emissivity and window take 0.01..1, humidity 0..1, distance 0..10000 m, "
                         "temperatures -100C..2000C, and a long path of warm, humid air lets nothing through");
    return o;
}

std::string object_text(const lep3_object_params_t &p)
{
    return format_text("emissivity %.3g, reflected %.2f °C, air %.2f °C, humidity %.0f %%, distance %.3g m, window "
                       "%.3g at %.2f °C",
                       static_cast<double>(p.emissivity), static_cast<double>(p.reflected_c),
                       static_cast<double>(p.air_c), static_cast<double>(p.humidity) * 100,
                       static_cast<double>(p.distance_m), static_cast<double>(p.window_transmission),
                       static_cast<double>(p.window_c));
}

std::vector<NamedRegion> parse_regions(const ParsedArgs &args)
{
    std::vector<NamedRegion> regions;
    std::set<std::string> names;
    for (const int kind : {LEP3_REGION_SPOT, LEP3_REGION_BOX, LEP3_REGION_LINE}) {
        int ordinal = 0;
        for (const std::string &text : args.values(lep3::thermo::region_kind_name(kind))) {
            try {
                regions.push_back(lep3::thermo::parse_region(kind, text, ++ordinal));
            } catch (const std::invalid_argument &e) {
                throw UsageError(e.what());
            }
            if (!names.insert(regions.back().name).second)
                throw UsageError("the region name '" + regions.back().name + "' is used twice");
        }
    }
    return regions;
}

std::vector<lep3_region_stats_t> measure_regions(std::span<const float> celsius, std::span<const NamedRegion> regions)
{
    std::vector<lep3_region_stats_t> stats(regions.size());
    for (size_t i = 0; i < regions.size(); ++i)
        LEP3_MeasureRegion(celsius.data(), &regions[i].region, &stats[i]); // checked when parsed
    return stats;
}

std::string region_text(const NamedRegion &r, const lep3_region_stats_t &s)
{
    std::string text = r.name + ": ";
    if (s.pixels == 0)
        text += "no temperature";
    else if (r.region.kind == LEP3_REGION_SPOT)
        text += degrees(s.min);
    else
        text += format_text("min %s at (%d,%d), max %s at (%d,%d), mean %s, %u px", degrees(s.min).c_str(), s.min_x,
                            s.min_y, degrees(s.max).c_str(), s.max_x, s.max_y, degrees(s.mean).c_str(), s.pixels);
    if (s.nan_pixels > 0)
        text += format_text(" (%u without temperature)", s.nan_pixels);
    return text;
}

std::string region_csv_row(uint32_t frame, const std::string &time, const NamedRegion &r, const lep3_region_stats_t &s)
{
    return format_text("%u,%s,%s,%s,%s,%s,%s,%d,%d,%d,%d,%u,%u", frame, time.c_str(), r.name.c_str(),
                       std::string(lep3::thermo::region_kind_name(r.region.kind)).c_str(), celsius_text(s.min).c_str(),
                       celsius_text(s.max).c_str(), celsius_text(s.mean).c_str(), s.min_x, s.min_y, s.max_x, s.max_y,
                       s.pixels, s.nan_pixels);
}

} // namespace lep3tool
