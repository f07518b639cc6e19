// Readings and object parameters as JSON, in the names every host's scripts read
// (units in the keys: min_c, distance_m). Built where nlohmann-json is installed.
#pragma once

#include <nlohmann/json.hpp>

#include "lep3.h"
#include "thermo/region_text.h"

namespace lep3::thermo {

// {"emissivity", "reflected_c", "air_c", "humidity", "distance_m", "window_transmission", "window_c"}
nlohmann::ordered_json object_json(const lep3_object_params_t &p);

// {"name", "kind", "min_c", "max_c", "mean_c", "min_at": [x, y], "max_at", "pixels", "nan_pixels"};
// temperatures in hundredths, null (and the positions) when no pixel holds a number.
nlohmann::ordered_json region_json(const NamedRegion &r, const lep3_region_stats_t &s);

} // namespace lep3::thermo
