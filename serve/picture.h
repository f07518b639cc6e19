// Colour pictures of frames for the page and for /frame.png: the palette and the range
// asked for, through the same conversion and into the same PNG file as `lep3 capture`.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hostkit/frame_range.h"
#include "serve/view_frame.h"

namespace lep3tool::serve {

// A palette, and a range as `lep3 capture --range` takes it: auto, held (the first frame's
// a follower sees; a single picture's own), MIN:MAX in raw values, 20C:35C, or p1:p99.
// With an isotherm band, the picture is grey and the pixels whose temperature lies in the
// band (C, both ends included) are red, as `lep3 capture --isotherm` draws them.
struct PictureStyle {
    uint32_t palette = 0;
    FrameRange range;
    std::optional<std::pair<float, float>> isotherm;
};

// From the query parameters (either may be missing: the defaults). Throws UsageError.
PictureStyle parse_picture_style(const std::optional<std::string> &palette, const std::optional<std::string> &range);

// "LOW:HIGH" in degrees ("35:40", "35C:40C"), low not above high. Throws UsageError.
std::pair<float, float> parse_isotherm_band(std::string_view text);

struct Picture {
    uint64_t seq = 0;
    std::string png;
    std::string png_base64;
    uint16_t raw_lo = 0; // the raw range used
    uint16_t raw_hi = 0;
    std::string range_warning; // the range misses the frame's values (range_miss), or empty
};

// A frame in the style's colours: 8-bit RGB, row by row, with the isotherm drawn.
struct ColourFrame {
    std::vector<uint8_t> rgb;
    uint32_t palette = 0; // the palette used: grey under an isotherm
    uint16_t raw_lo = 0;  // the raw range used
    uint16_t raw_hi = 0;
};

// The converter of the style's range for frames like this one (it holds a held range
// across the frames it converts). Throws UsageError for a range in degrees when the frame
// has no temperatures.
GreyConverter grey_converter(const ViewFrame &frame, const PictureStyle &style);

// Colours the frame through grey, a converter of the style's range. Throws UsageError
// for an isotherm when the frame has no temperatures.
ColourFrame colour_frame(const ViewFrame &frame, const PictureStyle &style, GreyConverter &grey);

// Makes pictures and keeps those of the newest frame, so browsers that look at the same
// frame in the same way share one picture.
class PictureMaker {
  public:
    // The frame's picture. A held range is the frame's own. Throws UsageError for a
    // range in degrees when the frame has no temperatures.
    std::shared_ptr<const Picture> make(const ViewFrame &frame, const PictureStyle &style);

  private:
    std::mutex mutex_; // guards the pictures kept
    uint64_t cached_seq_ = 0;
    std::vector<std::pair<std::string, std::shared_ptr<const Picture>>> cache_;
};

// The library's colours of a palette, as a 256 x 1 picture: the page's colour bar.
std::string palette_png(uint32_t palette);

} // namespace lep3tool::serve
