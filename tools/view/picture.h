// Colour pictures of frames for the page and for /frame.png: the palette and the range
// asked for, through the same conversion and into the same PNG file as `lep3 capture`.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/frame_range.h"
#include "tools/view/view_frame.h"

namespace lep3tool::view {

// The range a picture is stretched over: found in each frame, held from the first frame
// a follower sees, given in raw values, or given in degrees Celsius.
struct ViewRange {
    enum class Mode { automatic, held, raw, celsius };
    Mode mode = Mode::automatic;
    uint32_t raw_lo = 0; // raw mode
    uint32_t raw_hi = 0;
    double celsius_lo = 0; // celsius mode
    double celsius_hi = 0;

    // "auto", "held", "MIN:MAX" in raw values as `lep3 capture --range` takes them, or
    // "MIN:MAXC" in degrees Celsius. Throws UsageError.
    static ViewRange parse(std::string_view text);
    std::string describe() const;
};

struct PictureStyle {
    uint32_t palette = 0;
    ViewRange range;
};

// From the query parameters (either may be missing: the defaults). Throws UsageError.
PictureStyle parse_picture_style(const std::optional<std::string> &palette, const std::optional<std::string> &range);

struct Picture {
    uint64_t seq = 0;
    std::string png;
    std::string png_base64;
    uint16_t raw_lo = 0; // the raw range used
    uint16_t raw_hi = 0;
};

// Makes pictures and keeps those of the newest frame, so browsers that look at the same
// frame in the same way share one picture.
class PictureMaker {
  public:
    // The frame's picture. A held range is the frame's own. Throws UsageError for a
    // range in degrees when the frame has no temperatures or no raw value lies in it.
    std::shared_ptr<const Picture> make(const ViewFrame &frame, const PictureStyle &style);

  private:
    std::mutex mutex_; // the library's automatic range is shared: one conversion at a time
    uint64_t cached_seq_ = 0;
    std::vector<std::pair<std::string, std::shared_ptr<const Picture>>> cache_;
};

// The library's colours of a palette, as a 256 x 1 picture: the page's colour bar.
std::string palette_png(uint32_t palette);

} // namespace lep3tool::view
