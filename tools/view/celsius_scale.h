// The temperature of every raw value for one set of RBFO parameters, so a range the user
// gives in degrees Celsius can be turned into the raw range the picture is stretched over,
// and a raw range labelled in degrees. The values come from the same conversion as the
// temperatures of a frame.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "lep3.h"

namespace lep3tool::view {

class CelsiusScale {
  public:
    explicit CelsiusScale(const lep3_rbfo_t &rbfo);

    const lep3_rbfo_t &rbfo() const { return rbfo_; }
    // NaN for a raw value at or below the offset O.
    float at(uint16_t raw) const { return celsius_[raw]; }
    // The raw range whose temperatures lie within [lo, hi] degrees: its lowest and highest
    // raw values, or nothing when no raw value has a temperature in it.
    std::optional<std::pair<uint16_t, uint16_t>> raw_range(double lo, double hi) const;

  private:
    lep3_rbfo_t rbfo_;
    std::vector<float> celsius_; // one per raw value
    uint32_t first_ = 0;         // the first raw value with a temperature; they rise from here on
};

} // namespace lep3tool::view
