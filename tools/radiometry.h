// Temperatures from raw frames. The camera converts raw values with the RBFO form
// T = B / ln(R / (S - O) + F); the library fixes B and F and takes R and O from its
// caller, who reads them from one of the camera's RBFO parameter sets.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "lep3.h"

namespace lep3tool {

enum class RbfoSet { internal, external };

// "internal" or "external"; throws UsageError otherwise.
RbfoSet parse_rbfo_set(std::string_view name);
std::string_view rbfo_set_name(RbfoSet set);

// The parameter set read from the camera, or nothing (with a warning) when it can't be
// read or can't give temperatures (R of 0).
std::optional<lep3_rbfo_t> read_rbfo(RbfoSet set);

// The centre spot in degrees Celsius: the mean raw value of the centre block.
float centre_celsius(const uint16_t *raw, const lep3_rbfo_t &rbfo);

struct SceneRange {
    float min;
    float max;
};
// A temperature as the tool writes it for people and scripts: two decimal places, or
// "nan" for a raw value at or below the offset O, which has no temperature.
std::string celsius_text(float celsius);

// Fills celsius (one value per pixel) and returns the scene's range, ignoring pixels
// whose value has no temperature (not finite).
SceneRange frame_celsius(const uint16_t *raw, const lep3_rbfo_t &rbfo, std::span<float> celsius);

} // namespace lep3tool
