// The raw range that a colour picture stretches over 256 palette entries: found in each
// frame, found in the first frame and held, given in raw units, given in degrees Celsius,
// or spread between two percentiles of each frame's values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "lep3.h"

namespace lep3tool {

struct FrameRange {
    enum class Mode { automatic, held, raw, celsius, percentile };
    Mode mode = Mode::automatic;
    double low = 0; // raw values, degrees Celsius or percentiles, by mode
    double high = 0;

    // "auto", "held", "MIN:MAX" (raw values), "20C:35C" or "p1:p99"; the low end below the
    // high one. Throws UsageError.
    static FrameRange parse(std::string_view text);
    std::string describe() const;
};

// The first raw value whose temperature, by the library's exact conversion with the
// camera's R and O, is at or above celsius; 65535 when none is.
uint16_t raw_at_celsius(double celsius, const lep3_rbfo_t &rbfo);

// When the raw range used misses every value of the frame (raw: 19 200 values), so that its
// picture is one colour: a sentence that says so and gives the frame's values; otherwise
// empty. range_text is the range as given (FrameRange::describe).
std::string range_miss(const uint16_t *raw, uint16_t used_min, uint16_t used_max, const std::string &range_text);

// Turns raw frames into 8-bit frames with the chosen range; in held mode the first frame's
// range is kept for all that follow. Converters keep their held ranges apart.
class GreyConverter {
  public:
    // A range in degrees needs the camera's RBFO parameters: std::runtime_error without.
    GreyConverter(FrameRange range, const std::optional<lep3_rbfo_t> &rbfo);
    // raw and gray8: 19 200 values. Reports the raw range used.
    void convert(const uint16_t *raw, uint8_t *gray8, uint16_t &used_min, uint16_t &used_max);

  private:
    FrameRange range_;
    uint16_t fixed_min_ = 0; // raw and Celsius modes, and held once it holds
    uint16_t fixed_max_ = 0;
    bool have_held_ = false;
};

} // namespace lep3tool
