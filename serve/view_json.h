// The JSON the viewer answers with: status, frames for the page, spots, errors. One
// place for each shape, so the page and scripts see the same fields everywhere.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

#include "serve/feed_info.h"
#include "serve/picture.h"
#include "serve/thermo_setup.h"
#include "serve/view_frame.h"

namespace lep3tool::serve {

// Compact JSON text; bytes that are not UTF-8 (a garbled query echoed in a message)
// become replacement characters instead of an exception.
std::string json_text(const nlohmann::json &value);

// A temperature with the two decimal places of `lep3 capture --temps`, or null.
nlohmann::json celsius_json(std::optional<float> celsius);

// {"x", "y", "raw", "celsius"}
nlohmann::json spot_json(const Spot &spot);

// {"frame", "fps", "link", "frames", "dropped", "check_errors", "reply_check_errors",
//  "reconnects", "browsers", "temperatures"}
nlohmann::json status_json(const FeedStatus &status, unsigned browsers);

// A region as it is defined: {"name", "kind", "x0", "y0", "x1", "y1"} (a spot's x1, y1 are
// its x0, y0).
nlohmann::json region_definition_json(const lep3::thermo::NamedRegion &r);

// Regions and their readings (one each, or none without temperatures): each one's
// definition and its readings in the keys of `lep3 capture --json`'s regions.
nlohmann::json regions_json(const MeasureSetup *measured, const std::vector<lep3_region_stats_t> &readings);

// The object parameters in force (as lep3::thermo::object_json names them), with the
// digits a float holds: 0.95, not the 0.949999988 it widens to.
nlohmann::json object_parameters_json(const lep3_object_params_t &p);

// {"id", "rule", "region", "raised", "value_c"}
nlohmann::json alarm_json(const AlarmState &alarm);
nlohmann::json alarms_json(const std::vector<AlarmState> &alarms);

// A frame as the page draws it: its picture, the raw range used, the colour bar's
// labels, the spots, the regions' readings and the alarms.
nlohmann::json frame_json(const ViewFrame &frame, const Picture &picture, const FrameRange &range);

} // namespace lep3tool::serve
