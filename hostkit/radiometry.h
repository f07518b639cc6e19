// Temperatures from raw frames. The camera converts raw values with the RBFO form
// T = B / ln(R / (S - O) + F); the library fixes B and F and takes R and O from its
// caller, who reads them from one of the camera's RBFO parameter sets.
#pragma once

#include <cstddef>
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

// The frame's centre: row 60, column 80.
inline constexpr size_t kCentrePixel = 60 * 160 + 80;

// A temperature as the tool writes it for people and scripts: two decimal places, or
// "nan" for a raw value at or below the offset O, which has no temperature.
std::string celsius_text(float celsius);

struct SceneTemperatures {
    float centre; // the centre pixel
    float min;    // the scene's range, over the pixels that have a temperature
    float max;
};
// Fills celsius (one value per pixel, 19 200) with the library's exact conversion
// (LEP3_LuxToKelvin, not the integer LEP3_GetPixelTemp), or with object temperatures
// (LEP3_RawToObjectCelsius) when object is given, and returns the centre and the range.
// Pixels whose value has no temperature (not finite) are left out of the range.
SceneTemperatures frame_celsius(const uint16_t *raw, const lep3_rbfo_t &rbfo, std::span<float> celsius,
                                const lep3_object_params_t *object = nullptr);

} // namespace lep3tool
