// Alarms on region readings: "box1>60C for 2s" is raised once box1's maximum has stayed
// above 60 C for two seconds, "spot1<5C" as soon as spot1 reads below 5 C. A raised alarm
// clears only when the value is back past the limit by the hysteresis, so a value near the
// limit doesn't flap. A region's minimum is compared with a "<" limit and its maximum with
// a ">" one, unless the rule names the statistic: "box1.mean>40C".
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "lep3.h"

namespace lep3::thermo {

enum class Statistic { min, max, mean };

// The statistic of a region's reading (as LEP3_MeasureRegion gives it).
double value_of(const lep3_region_stats_t &s, Statistic statistic);

struct AlarmRule {
    std::string text;   // as written
    std::string region; // the region's name
    Statistic statistic = Statistic::max;
    bool above = true; // ">" (true) or "<"
    double limit_c = 0;
    std::chrono::milliseconds hold{0}; // how long the condition must last
};

// "REGION[.min|.max|.mean]>LIMIT" or "...<LIMIT", then optionally " for DURATION"; LIMIT in
// C ("60C" or "60"), DURATION in s or ms ("2s", "500ms"). Throws std::invalid_argument.
AlarmRule parse_alarm(std::string_view text);
// A temperature difference or limit, "0.5C" or "0.5"; throws std::invalid_argument.
double parse_celsius(std::string_view text, std::string_view what);

// How far back past its limit a raised alarm's value must come to clear, in C, when no
// --hysteresis is given, and the option's value read; throws std::invalid_argument.
constexpr double kDefaultHysteresisC = 0.5;
double parse_hysteresis(std::string_view text);

struct AlarmEvent {
    const AlarmRule *rule;
    bool raised;    // false: cleared
    double value_c; // the reading that raised or cleared it
};

// The state of every alarm, fed one reading of the regions after another.
class AlarmWatch {
  public:
    // hysteresis_c: how far past the limit a raised alarm's value must come back to clear.
    AlarmWatch(std::vector<AlarmRule> rules, double hysteresis_c);

    // The readings of one frame at time now (any steady clock, only differences count),
    // by region name; a region not among them, or with no pixel holding a number, leaves
    // its alarms as they are. Returns the alarms raised or cleared by this frame.
    std::vector<AlarmEvent> update(const std::map<std::string, lep3_region_stats_t> &readings,
                                   std::chrono::nanoseconds now);

    const std::vector<AlarmRule> &rules() const { return rules_; }
    bool raised(size_t rule) const { return state_[rule].raised; }
    // Alarms raised since the watch began, counting each raising once.
    uint64_t times_raised() const { return times_raised_; }

  private:
    struct State {
        bool raised = false;
        bool pending = false; // the condition holds, for less than the rule's hold so far
        std::chrono::nanoseconds since{0};
    };
    std::vector<AlarmRule> rules_;
    std::vector<State> state_;
    double hysteresis_c_;
    uint64_t times_raised_ = 0;
};

} // namespace lep3::thermo
