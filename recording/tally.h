// The running account of a recording's pages that the recorder prints at the end and the
// inspector prints for a file: frames, gaps in the frame numbers, the span of host time.
// One definition, so both count a gap the same way.
#pragma once

#include <cstdint>

#include "recording/format.h"

namespace lep3::recording {

struct Tally {
    uint64_t frames = 0;
    uint64_t gaps = 0;        // places where frame numbers jump forward by more than one
    uint64_t missing = 0;     // frame numbers skipped at those places
    uint64_t unconfirmed = 0; // frames whose check byte was not seen to match
    uint32_t first_frame = 0, last_frame = 0;
    int64_t first_us = 0, last_us = 0;

    void add(const PageInfo &page)
    {
        if (frames == 0) {
            first_frame = page.frame_number;
            first_us = page.host_time_us;
        } else if (page.frame_number > last_frame + 1) {
            ++gaps;
            missing += page.frame_number - last_frame - 1;
        }
        ++frames;
        last_frame = page.frame_number;
        last_us = page.host_time_us;
        if (!page.check_ok)
            ++unconfirmed;
    }

    // In doubles: any two dates, however far apart, have a difference.
    double seconds() const
    {
        return frames < 2 ? 0.0 : (static_cast<double>(last_us) - static_cast<double>(first_us)) / 1e6;
    }
};

} // namespace lep3::recording
