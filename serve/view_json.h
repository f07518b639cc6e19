// The JSON the viewer answers with: status, frames for the page, spots, errors. One
// place for each shape, so the page and scripts see the same fields everywhere.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

#include "serve/feed_info.h"
#include "serve/picture.h"
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

// A frame as the page draws it: its picture, the raw range used, the colour bar's
// labels, and the spots.
nlohmann::json frame_json(const ViewFrame &frame, const Picture &picture, const FrameRange &range);

} // namespace lep3tool::serve
