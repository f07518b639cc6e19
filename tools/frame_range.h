// The raw range that a colour picture stretches over 256 palette entries: found in
// each frame, found in the first frame and held, or given by the user in raw units.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lep3tool {

struct FrameRange {
    enum class Mode { automatic, held, fixed };
    Mode mode = Mode::automatic;
    uint32_t min = 0; // fixed mode only
    uint32_t max = 0;

    // "auto", "held" or "MIN:MAX" (raw values, MIN below MAX); throws UsageError.
    static FrameRange parse(std::string_view text);
    std::string describe() const;
};

// Turns raw frames into 8-bit frames with the chosen range; in held mode the first
// frame's range is kept for all that follow. Converters keep their held ranges apart.
class GreyConverter {
  public:
    explicit GreyConverter(FrameRange range) : range_(range) {}
    // gray8: 19 200 bytes. Reports the raw range used.
    void convert(const uint16_t *raw, uint8_t *gray8, uint16_t &used_min, uint16_t &used_max);

  private:
    FrameRange range_;
    bool have_held_ = false;
};

} // namespace lep3tool
