#include "hostkit/radiometry.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "hostkit/args.h"
#include "hostkit/console.h"
#include "hostkit/result_text.h"
#include "hostkit/text_format.h"

namespace lep3tool {

RbfoSet parse_rbfo_set(std::string_view name)
{
    if (name == "internal")
        return RbfoSet::internal;
    if (name == "external")
        return RbfoSet::external;
    throw UsageError("--rbfo takes internal or external, not '" + std::string(name) + "'");
}

std::string_view rbfo_set_name(RbfoSet set)
{
    return set == RbfoSet::internal ? "internal" : "external";
}

std::optional<lep3_rbfo_t> read_rbfo(RbfoSet set)
{
    lep3_rbfo_t rbfo{};
    const int r = set == RbfoSet::internal ? LEP3_GetRadRBFOInternal0(&rbfo) : LEP3_GetRadRBFOExternal0(&rbfo);
    const std::string name(rbfo_set_name(set));
    if (r != 0) {
        warning("the camera's %s RBFO parameters could not be read (%s); no temperatures", name.c_str(),
                describe_result(r).c_str());
        return std::nullopt;
    }
    if (rbfo.r == 0) {
        warning("the camera's %s RBFO parameters have R = 0; no temperatures", name.c_str());
        return std::nullopt;
    }
    return rbfo;
}

std::string celsius_text(float celsius)
{
    return std::isnan(celsius) ? std::string("nan") : format_text("%.2f", static_cast<double>(celsius));
}

SceneTemperatures frame_celsius(const uint16_t *raw, const lep3_rbfo_t &rbfo, std::span<float> celsius,
                                const lep3_object_params_t *object)
{
    const auto r = static_cast<int32_t>(rbfo.r);
    const auto o = static_cast<int32_t>(rbfo.o);
    // The parameters were checked when parsed; only an R the library can't take (above
    // 2^31) is refused, and has the plain conversion instead.
    const bool corrected = object != nullptr && LEP3_RawToObjectCelsius(raw, celsius.data(), r, o, object) == 0;
    if (!corrected) {
        LEP3_LuxToKelvin(raw, celsius.data(), r, o);
        LEP3_KelvinToCelsius(celsius.data());
    }
    SceneTemperatures range{celsius[kCentrePixel], std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity()};
    for (const float t : celsius) {
        if (!std::isfinite(t))
            continue;
        range.min = std::min(range.min, t);
        range.max = std::max(range.max, t);
    }
    return range;
}

} // namespace lep3tool
