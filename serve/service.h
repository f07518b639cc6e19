// The long-running service for one camera: the camera's feed publishes every frame to the
// hub, each output takes them from there, and the notifier watches the feed. This is the
// one place that starts and stops the outputs: together, in the order they were added,
// and in reverse at the end. It runs until SIGINT or SIGTERM; a SIGHUP is logged (a
// service is told to stop, never hung up on).
#pragma once

#include <memory>
#include <vector>

#include "serve/feed_info.h"
#include "serve/frame_hub.h"
#include "serve/notifier.h"
#include "serve/output.h"
#include "serve/service_log.h"

namespace lep3tool::serve {

class Service {
  public:
    Service(FrameHub &hub, const FeedInfo &feed, Notifier &notifier, const ServiceLog &log);
    ~Service();
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    void add(std::unique_ptr<Output> output);
    // Starts the outputs and serves until a stop signal, then stops them; the tool's exit
    // status (a failure when an output stopped by itself). Throws when an output can't
    // start.
    int run();

  private:
    void stop_outputs();

    FrameHub &hub_;
    const FeedInfo &feed_;
    Notifier &notifier_;
    const ServiceLog &log_;
    std::vector<std::unique_ptr<Output>> outputs_;
    size_t started_ = 0;
};

} // namespace lep3tool::serve
