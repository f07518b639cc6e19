// Radiometric conversion internals shared with the tests.
#pragma once

#include <cstdint>

namespace lep3::control {

// The fixed RBFO constants B and F of T = B / ln(R / (S - O) + F).
inline constexpr double kRadiometricB = 1428.0;
inline constexpr float kRadiometricF = 1.0F;
inline constexpr double kZeroCelsiusInKelvin = 273.15;

// One raw value to kelvin exactly as a whole-frame conversion computes it: the quotient
// and the sum in single precision, the logarithm and the division in double.
float raw_to_kelvin(uint16_t raw, float r, float o);

// A float converted to an unsigned integer by truncation towards zero; a negative value
// or NaN gives 0 and a value of 2^32 or more saturates.
uint32_t truncate_to_unsigned(float value);

} // namespace lep3::control
