// What the viewer measures besides the picture, changed by its API while frames flow: the
// object parameters, the regions, and the alarms on the regions' readings. The feed takes
// a snapshot for each frame (a shared pointer, never a copy under the lock) and hands the
// frame's readings back for the alarms.
#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "lep3.h"
#include "thermo/alarm.h"
#include "thermo/region_text.h"

namespace lep3tool::serve {

// The most regions and alarms a viewer keeps: measuring is cheap, but not free per frame.
constexpr size_t kMaxRegions = 32;
constexpr size_t kMaxAlarms = 32;

struct MeasureSetup {
    lep3_object_params_t object{};
    bool object_given = false; // false: the plain conversion (the defaults give the same)
    std::vector<lep3::thermo::NamedRegion> regions;
};

struct AlarmState {
    uint64_t id = 0; // the alarm's number in /api/alarms/ID, never reused
    std::string rule;
    std::string region;
    bool raised = false;
    std::optional<double> value_c; // the watched statistic in the newest frame
    uint64_t times_raised = 0;     // since the alarm was added: a taker that skipped frames sees what it missed
};

class ThermoSetup {
  public:
    // Throws std::invalid_argument when an alarm names a region that isn't there.
    ThermoSetup(MeasureSetup initial, const std::vector<lep3::thermo::AlarmRule> &rules, double hysteresis_c);

    std::shared_ptr<const MeasureSetup> setup() const;

    void set_object(const lep3_object_params_t &p);
    // Adds a region, named by its kind when name is empty; throws std::invalid_argument
    // for a name in use or one region too many.
    lep3::thermo::NamedRegion add_region(int kind, const std::string &name, const lep3_region_t &where);
    // False when no region has that name. Its alarms stay, idle until a region of that
    // name comes back.
    bool remove_region(const std::string &name);

    // Throws std::invalid_argument for a rule on an unknown region or one alarm too many.
    AlarmState add_alarm(const lep3::thermo::AlarmRule &rule);
    bool remove_alarm(uint64_t id);

    // The readings of one frame, in the order of setup's regions, at time now (steady).
    // Returns every alarm's state after them.
    std::vector<AlarmState> observe(const MeasureSetup &setup, const std::vector<lep3_region_stats_t> &readings,
                                    std::chrono::nanoseconds now);
    std::vector<AlarmState> alarms() const;
    double hysteresis_c() const { return hysteresis_c_; }

  private:
    struct Alarm {
        AlarmState state;
        lep3::thermo::AlarmWatch watch;
    };
    void check_region_known(const std::string &name) const;
    AlarmState add_alarm_locked(const lep3::thermo::AlarmRule &rule);

    mutable std::mutex mutex_;
    std::shared_ptr<const MeasureSetup> setup_;
    std::list<Alarm> alarms_; // each its own watch: adding or removing one leaves the others' state
    uint64_t next_id_ = 1;
    const double hysteresis_c_;
};

} // namespace lep3tool::serve
