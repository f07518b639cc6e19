// Object temperatures: the camera's signal corrected for the object's emissivity, what it
// reflects, the air on the way and an external window, then turned into degrees Celsius.
//
// The camera sees the sum of the object's radiance and of what the path adds:
//   U = e t1 W t2 Uobj + (1 - e) t1 W t2 Urefl + (1 - t1) W t2 Uair + (1 - W) t2 Uwin + (1 - t2) Uair
// Every term but the object's is fixed by the parameters, so Uobj is an affine map of the
// measured U = S - O: one scale and one offset per set of parameters, and the result of a
// raw value depends on the calibration and that map alone. The table below holds it per
// raw value, so a frame costs a table copy as LEP3_LuxToKelvin's does.
#include <cmath>
#include <cstdint>
#include <limits>

#include "control/control_internal.h"
#include "control/raw_value_table.h"
#include "lep3.h"
#include "render/render_internal.h"

namespace {

using lep3::control::kNullPointer;
using lep3::control::kOk;
using lep3::control::kOutOfRange;
using lep3::control::kRadiometricB;
using lep3::control::kRadiometricF;
using lep3::control::kZeroCelsiusInKelvin;
using lep3::render::kFramePixels;

// The ranges a parameter may take.
struct Range {
    float lo;
    float hi;
    bool holds(float v) const { return v >= lo && v <= hi; } // false for NaN
};
constexpr Range kEmissivity{0.01F, 1.0F};
constexpr Range kHumidity{0.0F, 1.0F};
constexpr Range kDistance{0.0F, 10000.0F};
constexpr Range kTransmission{0.01F, 1.0F};
constexpr Range kCelsius{-100.0F, 2000.0F};

constexpr lep3_object_params_t kDefaults{1.0F, 20.0F, 20.0F, 0.5F, 0.0F, 20.0F, 1.0F};

bool params_in_range(const lep3_object_params_t &p)
{
    return kEmissivity.holds(p.emissivity) && kCelsius.holds(p.reflected_c) && kCelsius.holds(p.air_c) &&
           kHumidity.holds(p.humidity) && kDistance.holds(p.distance_m) && kCelsius.holds(p.window_c) &&
           kTransmission.holds(p.window_transmission);
}

// Water vapour in the air, from its relative humidity (0..1) and temperature (C).
double water_vapour(double humidity, double air_c)
{
    constexpr double h0 = 1.5587, h1 = 0.06939, h2 = -0.00027816, h3 = 0.00000068455;
    return humidity * std::exp(h0 + air_c * (h1 + air_c * (h2 + air_c * h3)));
}

// Transmission of a length of air (m) holding the given water vapour: two exponentials
// in the square roots of the length and of the vapour.
double air_transmission(double length_m, double vapour)
{
    constexpr double x = 1.9, a1 = 0.006569, a2 = 0.01262, b1 = -0.002276, b2 = -0.00667;
    if (length_m == 0.0)
        return 1.0; // no air: exactly 1, not the two terms' rounded sum
    const double root_length = std::sqrt(length_m);
    const double root_vapour = std::sqrt(vapour);
    return x * std::exp(-root_length * (a1 + b1 * root_vapour)) +
           (1.0 - x) * std::exp(-root_length * (a2 + b2 * root_vapour));
}

// Signal of a black body at the given temperature (C).
double black_body_signal(double r, double celsius)
{
    return r / (std::exp(kRadiometricB / (celsius + kZeroCelsiusInKelvin)) - kRadiometricF);
}

// Uobj = (S - O) * scale + offset, with the calibration it was made for.
struct ObjectMap {
    int32_t r = 0;
    int32_t o = 0;
    double scale = 0.0;
    double offset = 0.0;
    bool operator==(const ObjectMap &) const = default;
};

// The map of one set of parameters, or false when the air leaves nothing of the object
// (a transmission that is not a positive number: the formula's two terms cross at long
// distances through warm, humid air).
bool object_map(const lep3_object_params_t &p, int32_t r, int32_t o, ObjectMap &map)
{
    const double rd = r;
    const double tau = air_transmission(p.distance_m / 2.0, water_vapour(p.humidity, p.air_c));
    if (!(tau > 0.0) || !std::isfinite(tau))
        return false;
    const double t = tau > 1.0 ? 1.0 : tau; // the rounding of the two terms only
    const double e = p.emissivity;
    const double w = p.window_transmission;
    const double air = black_body_signal(rd, p.air_c);
    const double path = (1.0 - e) * t * w * t * black_body_signal(rd, p.reflected_c) + (1.0 - t) * w * t * air +
                        (1.0 - w) * t * black_body_signal(rd, p.window_c) + (1.0 - t) * air;
    const double gain = e * t * w * t;
    map = ObjectMap{r, o, 1.0 / gain, -path / gain};
    return std::isfinite(map.scale) && std::isfinite(map.offset);
}

struct ObjectCelsiusOfRaw {
    float operator()(uint16_t raw, const ObjectMap &m) const
    {
        const double u = (static_cast<double>(raw) - m.o) * m.scale + m.offset;
        if (!(u > 0.0))
            return std::numeric_limits<float>::quiet_NaN(); // the positive quiet NaN
        return static_cast<float>(kRadiometricB / std::log(m.r / u + kRadiometricF) - kZeroCelsiusInKelvin);
    }
};

lep3::control::RawValueTable<ObjectMap, ObjectCelsiusOfRaw> object_table;

// NaN pixels of a converted frame: a compare and an add a pixel, vectorised.
uint32_t count_nan(const float *celsius)
{
    uint32_t n = 0;
    for (size_t i = 0; i < kFramePixels; ++i)
        n += celsius[i] != celsius[i] ? 1U : 0U;
    return n;
}

} // namespace

extern "C" LEP3_API void LEP3_DefaultObjectParams(lep3_object_params_t *p)
{
    if (p != nullptr)
        *p = kDefaults;
}

extern "C" LEP3_API int LEP3_RawToObjectCelsiusCounted(const uint16_t *raw, float *celsius, int32_t R, int32_t O,
                                                       const lep3_object_params_t *p, uint32_t *nan_pixels)
{
    if (raw == nullptr || celsius == nullptr || p == nullptr)
        return kNullPointer;
    ObjectMap map;
    if (R <= 0 || !params_in_range(*p) || !object_map(*p, R, O, map))
        return kOutOfRange;
    if (object_table.try_take()) {
        object_table.convert(raw, celsius, map);
        object_table.release();
    } else {
        for (size_t i = 0; i < kFramePixels; ++i)
            celsius[i] = ObjectCelsiusOfRaw{}(raw[i], map);
    }
    if (nan_pixels != nullptr)
        *nan_pixels = count_nan(celsius);
    return kOk;
}

extern "C" LEP3_API int LEP3_RawToObjectCelsius(const uint16_t *raw, float *celsius, int32_t R, int32_t O,
                                                const lep3_object_params_t *p)
{
    return LEP3_RawToObjectCelsiusCounted(raw, celsius, R, O, p, nullptr);
}
