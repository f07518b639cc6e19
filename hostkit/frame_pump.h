// Frames for the tool's loops, from the library's session: the newest frame not yet taken,
// waited for in short slices so that a stop signal is answered within one of them.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

#include "names/link_states.h"

namespace lep3tool {

inline constexpr uint32_t kFrameWidth = 160;
inline constexpr uint32_t kFrameHeight = 120;
inline constexpr uint32_t kFramePixels = kFrameWidth * kFrameHeight;
inline constexpr uint32_t kRgbFrameBytes = kFramePixels * 3;
inline constexpr uint32_t kFormatRaw = 0;
inline constexpr uint32_t kFormatRgb = 1;

struct Frame {
    // Big enough for either form; a raw frame fills the first 38 400 bytes.
    alignas(uint16_t) std::array<uint8_t, kRgbFrameBytes> bytes{};
    uint32_t format = 0;
    uint32_t size = 0;
    uint32_t number = 0;
    bool check_ok = true;                        // the frame packet's check byte matched
    std::chrono::system_clock::time_point taken; // when the library completed it
    std::chrono::nanoseconds completed{0};       // the same on CLOCK_MONOTONIC, for durations

    const uint16_t *raw() const { return reinterpret_cast<const uint16_t *>(bytes.data()); }
};

class FramePump {
  public:
    enum class Wait {
        frame,     // out holds a new frame
        stopped,   // a stop signal arrived
        timed_out, // no frame in time, while the bridge is there
        gone,      // no frame in time: the bridge is unplugged (the session waits for it)
    };

    // Copies the newest frame not yet returned into out, waiting at most timeout. Throws
    // std::runtime_error when the session refuses the read (no session, buffer too small).
    Wait next(Frame &out, std::chrono::milliseconds timeout);

    // Frames returned, and frame numbers never seen (gaps in the numbering: frames the
    // library overwrote before they were taken).
    uint64_t received() const { return received_; }
    uint64_t missed() const { return missed_; }

  private:
    uint32_t last_number_ = 0;
    uint64_t received_ = 0;
    uint64_t missed_ = 0;
};

// The bridge's first frame after the video request, into out, before anything waits for a
// command's reply: a bridge that sends nothing fails here within timeout (std::runtime_error
// naming device), not after the commands' longer waits. False when a stop signal came.
bool first_frame(FramePump &pump, Frame &out, std::chrono::milliseconds timeout, const std::string &device);

// Throws std::runtime_error: the bridge at device sent no frame for timeout.
[[noreturn]] void fail_silent(const std::string &device, std::chrono::milliseconds timeout);

// The session's link state as every host shows it.
using lep3::names::link_state_name;

} // namespace lep3tool
