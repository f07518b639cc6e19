// The text chunks of the two pictures written for a frame: the colour picture and the
// lossless 16-bit raw picture. `lep3 capture` writes them as files and `lep3 view`
// serves them for download; both take their chunks from here, so the files are alike.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hostkit/png_writer.h"
#include "hostkit/radiometry.h"
#include "lep3.h"

namespace lep3tool {

// The camera core's raw values use 14 of a sample's 16 bits.
inline constexpr int kRawSignificantBits = 14;

// What the raw pictures record about the camera and the software that took them.
struct Provenance {
    std::string serial_number = "unavailable";
    std::string firmware_version = "unavailable";
};

// Asks the camera and the bridge (each call marked as waiting for a reply).
Provenance read_provenance();

// UTC with milliseconds: 2024-05-01T12:00:00.123Z.
std::string iso_time(std::chrono::system_clock::time_point t);

// range_text says how the raw range was chosen (auto, held, MIN:MAX, ...).
std::vector<PngText> colour_picture_text(uint32_t frame_number, std::chrono::system_clock::time_point taken,
                                         uint32_t palette, uint16_t used_min, uint16_t used_max,
                                         const std::string &range_text);

// fpa_celsius and rbfo may be missing: the chunks then say "unavailable".
std::vector<PngText> raw_picture_text(uint32_t frame_number, std::chrono::system_clock::time_point taken,
                                      std::optional<float> fpa_celsius, const std::optional<lep3_rbfo_t> &rbfo,
                                      RbfoSet rbfo_set, const Provenance &provenance);

} // namespace lep3tool
