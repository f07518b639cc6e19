// What the routes ask of the camera's feed: the status line and the camera's identity.
// The camera feed answers in the service; the fuzz target answers with fixed values.
#pragma once

#include <cstdint>

#include "hostkit/frame_pictures.h"
#include "lep3.h"

namespace lep3tool::serve {

struct FeedStatus {
    int link = LEP3_LINK_CLOSED; // one of LEP3_LINK_*
    double fps = 0;              // over the last two seconds
    uint32_t frame = 0;          // the newest frame's number
    uint64_t frames = 0;         // frames the viewer took
    lep3_link_stats_t counters{};
    bool temperatures = false;
};

class FeedInfo {
  public:
    virtual ~FeedInfo() = default;
    virtual FeedStatus status() const = 0;
    // The camera's serial number and the bridge's firmware, for the raw pictures.
    virtual Provenance provenance() const = 0;
};

} // namespace lep3tool::serve
