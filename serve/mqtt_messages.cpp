#include "serve/mqtt_messages.h"

#include <chrono>
#include <cmath>
#include <optional>

#include "hostkit/frame_pictures.h"
#include "serve/view_json.h"
#include "thermo/readings_json.h"

namespace lep3tool::serve {

namespace {

// The mean of the pixels that hold a temperature.
std::optional<float> mean_celsius(const ViewFrame &frame)
{
    double sum = 0;
    size_t n = 0;
    for (const float c : frame.celsius) {
        if (!std::isnan(c)) {
            sum += c;
            ++n;
        }
    }
    if (n == 0)
        return std::nullopt;
    return static_cast<float>(sum / static_cast<double>(n));
}

} // namespace

nlohmann::json measurement_json(const ViewFrame &frame)
{
    nlohmann::json j = {
        {"time", iso_time(frame.taken)},
        {"frame", frame.number},
        {"min_c", celsius_json(frame.min.celsius)},
        {"max_c", celsius_json(frame.max.celsius)},
        {"mean_c", celsius_json(mean_celsius(frame))},
        {"centre_c", celsius_json(frame.centre.celsius)},
        {"check_ok", frame.check_ok},
    };
    auto regions = nlohmann::json::object();
    if (frame.measured) {
        const auto &defined = frame.measured->regions;
        for (size_t i = 0; i < defined.size() && i < frame.readings.size(); ++i)
            regions[defined[i].name] = lep3::thermo::region_json(defined[i], frame.readings[i]);
        j["object"] = object_parameters_json(frame.measured->object);
    }
    j["regions"] = std::move(regions);
    j["alarms"] = alarms_json(frame.alarms);
    return j;
}

nlohmann::json health_json(const FeedStatus &status, unsigned browsers, const OutputHealth &output)
{
    nlohmann::json j = status_json(status, browsers);
    j["time"] = iso_time(std::chrono::system_clock::now());
    j["mqtt"] = {
        {"connected", output.connected},
        {"queued", output.queued},
        {"dropped_measurements", output.dropped},
        {"reconnects", output.reconnects},
    };
    return j;
}

} // namespace lep3tool::serve
