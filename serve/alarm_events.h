// Alarms raised and cleared, one event each, from the alarm states frames carry. A taker
// of frames may skip some (the hub hands over the newest); an alarm's count of raisings
// tells what it missed in between, so every raising and clearing still makes one event,
// in order, and none is made twice.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "serve/thermo_setup.h"

namespace lep3tool::serve {

struct AlarmEvent {
    AlarmState alarm; // as the frame left it; value_c is the frame's reading
    bool raised = false;
    bool caught_up = false; // made up for frames that were skipped: no reading of its own
};

class AlarmEvents {
  public:
    // The events since the states of the last call (an alarm first seen starts as not
    // raised, never raised before); alarms gone from the list are forgotten.
    std::vector<AlarmEvent> update(const std::vector<AlarmState> &alarms);

  private:
    struct Seen {
        bool raised = false;
        uint64_t times_raised = 0;
    };
    std::map<uint64_t, Seen> seen_; // by alarm id
};

} // namespace lep3tool::serve
