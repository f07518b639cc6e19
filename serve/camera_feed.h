// The viewer's one taker of frames: a thread that waits on the library's session for
// each new raw frame, measures it (temperatures, spots, the regions and alarms of the
// thermography setup) and publishes it to the hub,
// and keeps what the status line shows. After the bridge comes back it reads the RBFO
// parameters and the camera's identity anew.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "hostkit/frame_pictures.h"
#include "hostkit/frame_pump.h"
#include "hostkit/radiometry.h"
#include "lep3.h"
#include "serve/feed_info.h"
#include "serve/frame_hub.h"
#include "serve/thermo_setup.h"

namespace lep3tool::serve {

class CameraFeed : public FeedInfo {
  public:
    // The session must be open. Asks for raw video and starts the thread.
    CameraFeed(FrameHub &hub, RbfoSet rbfo_set, ThermoSetup &thermo);
    ~CameraFeed();
    CameraFeed(const CameraFeed &) = delete;
    CameraFeed &operator=(const CameraFeed &) = delete;

    FeedStatus status() const override;
    RbfoSet rbfo_set() const { return rbfo_set_; }
    Provenance provenance() const override;

  private:
    using Clock = std::chrono::steady_clock;

    void run();
    // One wait for a frame and what follows from it.
    void take_frame();
    void read_rbfo_parameters();

    FrameHub &hub_;
    const RbfoSet rbfo_set_;
    ThermoSetup &thermo_;
    std::optional<lep3_rbfo_t> rbfo_; // the feed thread's own
    uint64_t reconnects_seen_ = 0;    // the feed thread's own
    FramePump pump_;                  // the feed thread's own
    std::unique_ptr<Frame> incoming_; // the feed thread's own

    mutable std::mutex mutex_; // guards what status() reads
    std::deque<Clock::time_point> recent_;
    uint32_t last_number_ = 0;
    uint64_t frames_ = 0;
    bool temperatures_ = false;
    Provenance provenance_;

    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace lep3tool::serve
