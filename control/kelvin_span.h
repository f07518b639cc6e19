// Kelvin of a whole span of consecutive raw values at once, for the radiometric table.
#pragma once

#include <cstdint>

namespace lep3::control {

// Entries (float bits) of B / ln(r / (v - o) + F) for the raw values v = low .. high (low a
// multiple of kSpanGroup, high one below the next) into bits[low ..], each the formula's to
// the bit or kUnknownEntry where the lanes can't vouch for it; true when any is unknown.
bool fill_kelvin_span(uint32_t *bits, uint32_t low, uint32_t high, float r, float o);

} // namespace lep3::control
