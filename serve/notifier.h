// What the service tells systemd and its log about the camera: READY=1 once the first
// frame has arrived; WATCHDOG=1 at half the watchdog's interval for as long as frames keep
// coming (before the first, for the grace after the start), so that a bridge gone or
// silent for longer than the grace has systemd restart the service; STATUS= lines saying
// what it does; STOPPING=1 at the end. A change of what it does is also a line in the log.
// Built without libsystemd, it notifies nothing and only logs.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "serve/service_log.h"

namespace lep3tool::serve {

class Notifier {
  public:
    using Clock = std::chrono::steady_clock;

    // One look at the camera's feed.
    struct Look {
        int link = 0;        // one of LEP3_LINK_*
        uint64_t frames = 0; // frames taken so far
        double fps = 0;
    };

    // device: for the status lines. grace: how long frames may stay away before the
    // watchdog's pings stop.
    Notifier(std::string device, std::chrono::milliseconds grace, const ServiceLog &log);

    // The interval between two pings (half what systemd asked for), or zero when systemd
    // watches nothing.
    std::chrono::microseconds ping_interval() const { return ping_interval_; }

    // Called often (every 100 ms or so): notices the new state and says what changed.
    void observe(const Look &look, Clock::time_point now);
    // The service stops.
    void stopping();

  private:
    enum class Phase { waiting, streaming, silent, gone };

    Phase phase_of(const Look &look, Clock::time_point now) const;
    std::string status_text(const Look &look) const;

    const std::string device_;
    const std::chrono::milliseconds grace_;
    const ServiceLog &log_;
    std::chrono::microseconds ping_interval_{0};

    Clock::time_point started_;
    // When the frame count last grew, or the bridge last came back.
    Clock::time_point last_sign_;
    uint64_t frames_ = 0;
    int last_link_ = 0;
    Phase phase_ = Phase::waiting;
    std::string phase_since_; // the time of day the phase began, for the status
    Clock::time_point phase_began_;
    bool ready_ = false;
    bool pinging_ = true;
    Clock::time_point last_ping_;
    Clock::time_point last_status_;
    std::string last_status_text_;
};

} // namespace lep3tool::serve
