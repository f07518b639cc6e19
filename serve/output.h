// One of the service's outputs (the web viewer today; MQTT, RTSP and metrics to come).
// The service makes each, starts them together and stops them together, in one place
// (service.h). Every output takes the same frames, each carrying its measurements, from
// the service's FrameHub, which hands over the newest frame without ever waiting for its
// taker: an output that falls behind skips frames (a follower's seq tells how many), so
// none can slow the camera. An output with slow work of its own (a network peer that
// stalls) follows the hub on a thread of its own and keeps at most a short queue.
#pragma once

#include <string_view>

namespace lep3tool::serve {

class Output {
  public:
    virtual ~Output() = default;

    // For the log: "viewer", "mqtt", ...
    virtual std::string_view name() const = 0;
    // Starts serving; throws std::runtime_error with a sentence for the log when it can't.
    virtual void start() = 0;
    // Stops within a fraction of a second; idempotent. The hub is closed before.
    virtual void stop() = 0;
    // False once it has stopped by itself (its socket failed): the service ends.
    virtual bool running() const = 0;
};

} // namespace lep3tool::serve
