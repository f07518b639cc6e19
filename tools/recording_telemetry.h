// What the camera reports beside its frames, for a recording's pages: the FPA temperature
// and the RBFO set the temperatures are computed with. They are read once a second on a
// thread of their own, so a slow or unanswered command never holds up the frames.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "sim/recording_format.h"
#include "tools/radiometry.h"

namespace lep3tool {

class Telemetry {
  public:
    struct Reading {
        std::optional<float> fpa_celsius;
        std::optional<lep3::recording::Rbfo> rbfo; // R and O of the camera's set, B and F the conversion's
    };

    // Reads once before it returns, so the first frame has values, then starts the thread.
    explicit Telemetry(RbfoSet set);
    // Stops the thread; waits for a command in flight (a few seconds at most on a silent
    // bridge).
    ~Telemetry();
    Telemetry(const Telemetry &) = delete;
    Telemetry &operator=(const Telemetry &) = delete;

    Reading latest() const;

  private:
    Reading read() const;
    void run();

    RbfoSet set_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    Reading latest_;
    std::thread thread_;
};

} // namespace lep3tool
