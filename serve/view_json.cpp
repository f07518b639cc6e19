#include "serve/view_json.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "hostkit/frame_pump.h"
#include "hostkit/radiometry.h"
#include "thermo/readings_json.h"

namespace lep3tool::serve {

namespace {

// Where the colour bar is labelled, as fractions of the raw range from its bottom.
constexpr std::array<double, 5> kTicks = {0.0, 0.25, 0.5, 0.75, 1.0};

// The temperatures of a few raw values, through the conversion of a whole frame.
std::vector<float> celsius_of(const std::vector<uint16_t> &raw, const lep3_rbfo_t &rbfo,
                              const std::optional<lep3_object_params_t> &object)
{
    std::vector<uint16_t> frame(kFramePixels, raw.empty() ? 0 : raw.front());
    std::copy(raw.begin(), raw.end(), frame.begin());
    std::vector<float> celsius(kFramePixels);
    frame_celsius(frame.data(), rbfo, celsius, object ? &*object : nullptr);
    celsius.resize(raw.size());
    return celsius;
}

} // namespace

std::string json_text(const nlohmann::json &value)
{
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json celsius_json(std::optional<float> celsius)
{
    if (!celsius || std::isnan(*celsius))
        return nullptr;
    // The number the CSV holds: its text read back, which JSON writes out the same way.
    return std::stod(celsius_text(*celsius));
}

nlohmann::json spot_json(const Spot &spot)
{
    return {{"x", spot.x}, {"y", spot.y}, {"raw", spot.raw}, {"celsius", celsius_json(spot.celsius)}};
}

nlohmann::json status_json(const FeedStatus &status, unsigned browsers)
{
    return {
        {"frame", status.frame},
        {"fps", std::round(status.fps * 100) / 100},
        {"link", link_state_name(status.link)},
        {"frames", status.frames},
        {"dropped", status.counters.frames_overwritten},
        {"check_errors", status.counters.frame_check_errors},
        {"reply_check_errors", status.counters.reply_check_errors},
        {"reconnects", status.counters.reconnects},
        {"browsers", browsers},
        {"temperatures", status.temperatures},
    };
}

nlohmann::json region_definition_json(const lep3::thermo::NamedRegion &r)
{
    return {{"name", r.name},    {"kind", lep3::thermo::region_kind_name(r.region.kind)},
            {"x0", r.region.x0}, {"y0", r.region.y0},
            {"x1", r.region.x1}, {"y1", r.region.y1}};
}

nlohmann::json regions_json(const MeasureSetup *measured, const std::vector<lep3_region_stats_t> &readings)
{
    auto list = nlohmann::json::array();
    if (measured == nullptr)
        return list;
    const auto &regions = measured->regions;
    for (size_t i = 0; i < regions.size(); ++i) {
        nlohmann::json j = region_definition_json(regions[i]);
        if (i < readings.size()) {
            const auto shared = lep3::thermo::region_json(regions[i], readings[i]);
            for (const auto &[key, value] : shared.items())
                j[key] = nlohmann::json(value);
        }
        list.push_back(std::move(j));
    }
    return list;
}

nlohmann::json object_parameters_json(const lep3_object_params_t &p)
{
    nlohmann::json j;
    const auto shared = lep3::thermo::object_json(p);
    for (const auto &[key, value] : shared.items()) {
        char text[32];
        (void)std::snprintf(text, sizeof text, "%.6g", value.get<double>());
        j[key] = std::stod(text);
    }
    return j;
}

nlohmann::json alarm_json(const AlarmState &alarm)
{
    return {{"id", alarm.id},
            {"rule", alarm.rule},
            {"region", alarm.region},
            {"raised", alarm.raised},
            {"value_c", alarm.value_c ? nlohmann::json(std::round(*alarm.value_c * 100) / 100) : nullptr}};
}

nlohmann::json alarms_json(const std::vector<AlarmState> &alarms)
{
    auto list = nlohmann::json::array();
    for (const AlarmState &a : alarms)
        list.push_back(alarm_json(a));
    return list;
}

nlohmann::json frame_json(const ViewFrame &frame, const Picture &picture, const FrameRange &range)
{
    std::vector<uint16_t> tick_raw;
    tick_raw.reserve(std::size(kTicks));
    for (const double at : kTicks)
        tick_raw.push_back(static_cast<uint16_t>(std::lround(picture.raw_lo + at * (picture.raw_hi - picture.raw_lo))));
    const std::vector<float> tick_celsius =
        frame.rbfo ? celsius_of(tick_raw, *frame.rbfo, frame.object) : std::vector<float>();
    auto scale = nlohmann::json::array();
    for (size_t i = 0; i < kTicks.size(); ++i) {
        nlohmann::json tick = {{"at", kTicks[i]}, {"raw", tick_raw[i]}};
        if (frame.rbfo)
            tick["celsius"] = celsius_json(tick_celsius[i]);
        scale.push_back(std::move(tick));
    }
    const auto completed = std::chrono::duration<double, std::milli>(frame.taken.time_since_epoch());
    return {
        {"frame", frame.number},
        {"seq", frame.seq},
        {"completed_ms", std::round(completed.count() * 10) / 10},
        {"png", picture.png_base64},
        {"temperatures", frame.has_temperatures()},
        {"range", {{"text", range.describe()}, {"raw_lo", picture.raw_lo}, {"raw_hi", picture.raw_hi}}},
        {"scale", std::move(scale)},
        {"spots", {{"min", spot_json(frame.min)}, {"max", spot_json(frame.max)}, {"centre", spot_json(frame.centre)}}},
        {"regions", regions_json(frame.measured.get(), frame.readings)},
        {"alarms", alarms_json(frame.alarms)},
    };
}

} // namespace lep3tool::serve
