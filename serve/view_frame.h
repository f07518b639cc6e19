// One frame as the viewer keeps it: the raw values, their temperatures when the camera's
// RBFO parameters could be read (the object's, when its parameters are set), the spots the
// page marks, and the readings of the regions and alarms in force when it came.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "hostkit/frame_pump.h"
#include "hostkit/radiometry.h"
#include "lep3.h"
#include "serve/thermo_setup.h"

namespace lep3tool::serve {

struct Spot {
    uint32_t x = 0;
    uint32_t y = 0;
    uint16_t raw = 0;
    std::optional<float> celsius;
};

struct ViewFrame {
    uint64_t seq = 0;                            // the viewer's own count, which never repeats
    uint32_t number = 0;                         // the library's frame number
    std::chrono::system_clock::time_point taken; // when the library completed it
    bool check_ok = true;                        // the frame packet's check byte matched
    std::array<uint16_t, kFramePixels> raw{};
    RbfoSet rbfo_set = RbfoSet::internal;
    std::optional<lep3_rbfo_t> rbfo;              // missing: no temperatures
    std::vector<float> celsius;                   // one per pixel, or empty
    Spot min;                                     // the coldest pixel (by raw value without temperatures)
    Spot max;                                     // the hottest
    Spot centre;                                  // the centre pixel, row 60, column 80
    std::optional<lep3_object_params_t> object;   // the object parameters of the temperatures
    std::shared_ptr<const MeasureSetup> measured; // the regions measured, or null
    std::vector<lep3_region_stats_t> readings;    // one per region of measured, with temperatures
    std::vector<AlarmState> alarms;               // every alarm after this frame

    bool has_temperatures() const { return !celsius.empty(); }
    // The pixel at column x, row y.
    Spot spot(uint32_t x, uint32_t y) const;
};

// Fills the temperatures and the spots of a frame whose raw values, rbfo and object are set.
void measure_frame(ViewFrame &frame);

} // namespace lep3tool::serve
