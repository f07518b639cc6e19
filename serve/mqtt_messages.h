// The JSON the MQTT output publishes, in the names the HTTP API uses (units in the keys):
// a measurement of one frame, and the health report of the link and of the output.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>

#include "serve/feed_info.h"
#include "serve/view_frame.h"

namespace lep3tool::serve {

// {"time", "frame", "min_c", "max_c", "mean_c", "centre_c", "check_ok", "regions": {NAME:
//  {...}}, "object": {...}, "alarms": [...]}; temperatures null without the camera's RBFO.
nlohmann::json measurement_json(const ViewFrame &frame);

struct OutputHealth {
    size_t queued = 0;
    uint64_t dropped = 0;    // measurements dropped or lost on the way
    uint64_t reconnects = 0; // to the broker
    bool connected = false;
};

// The status of /api/status with the time and {"mqtt": {"connected", "queued",
// "dropped_measurements", "reconnects"}}.
nlohmann::json health_json(const FeedStatus &status, unsigned browsers, const OutputHealth &output);

} // namespace lep3tool::serve
