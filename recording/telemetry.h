// What the camera reports beside its frames, for a recording's pages: the FPA temperature
// and the RBFO set the temperatures are computed with. They are read once a second on a
// thread of their own, so a slow or unanswered command never holds up the frames.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "lep3.h"
#include "recording/format.h"

namespace lep3::recording {

// Where the readings come from: the library's getters (LEP3_GetSysFpaTemperatureCelcius
// and the RBFO set's getter), named by the host, which links the library.
struct TelemetrySource {
    int (*fpa_celsius)(float *celsius);
    int (*rbfo)(lep3_rbfo_t *rbfo);
};

class Telemetry {
  public:
    struct Reading {
        std::optional<float> fpa_celsius;
        std::optional<Rbfo> rbfo; // R and O of the camera's set, B and F the conversion's
    };

    // One reading now, from the calling thread.
    static Reading read(const TelemetrySource &source);

    // Starts the thread from a first reading (so the first frame has values), which the
    // host takes as it takes its other commands. The thread takes no signals: they reach
    // the host's threads.
    Telemetry(const TelemetrySource &source, const Reading &first);
    // Stops the thread; waits for a command in flight (a few seconds at most on a silent
    // bridge).
    ~Telemetry();
    Telemetry(const Telemetry &) = delete;
    Telemetry &operator=(const Telemetry &) = delete;

    Reading latest() const;

  private:
    void run();

    TelemetrySource source_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    Reading latest_;
    std::thread thread_;
};

} // namespace lep3::recording
