// A recording streamed by the emulator instead of its synthetic scene: the recorded raw
// values exactly, paced by the recorded host times, with the registers the camera had
// while recording (FPA temperature, the RBFO set, serial number), so that every host
// program sees the recorded session as it was.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "recording/format.h"

namespace lep3::sim {

class Replay {
  public:
    virtual ~Replay() = default;

    virtual const recording::FileInfo &file() const = 0;
    virtual uint64_t frames() const = 0;
    // The next recorded frame's values (kPixels). False once the recording has ended
    // (only without looping) or when the file can no longer be read; error() then says why.
    virtual bool next(uint16_t *raw) = 0;
    // The description of the frame next() gave.
    virtual const recording::PageInfo &page() const = 0;
    // The recorded time from the frame next() gave to the one after it. Going round the
    // loop, the recording's mean frame interval.
    virtual std::chrono::nanoseconds interval() const = 0;
    virtual const std::string &error() const = 0;
};

// Opens a raw recording for streaming, or throws std::runtime_error with a sentence for
// the user (a missing, foreign or damaged file; an emulator built without libtiff).
std::unique_ptr<Replay> open_replay(const std::string &path, bool loop);

} // namespace lep3::sim
