#include "serve/thermo_setup.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace lep3tool::serve {

namespace {

using lep3::thermo::NamedRegion;
using lep3::thermo::Statistic;

// Nothing where the region held no pixel with a temperature.
std::optional<double> statistic_of(const lep3_region_stats_t &s, Statistic which)
{
    if (s.pixels == 0)
        return std::nullopt;
    return lep3::thermo::value_of(s, which);
}

} // namespace

ThermoSetup::ThermoSetup(MeasureSetup initial, const std::vector<lep3::thermo::AlarmRule> &rules, double hysteresis_c)
    : setup_(std::make_shared<const MeasureSetup>(std::move(initial))), hysteresis_c_(hysteresis_c)
{
    for (const auto &rule : rules)
        add_alarm_locked(rule);
}

std::shared_ptr<const MeasureSetup> ThermoSetup::setup() const
{
    const std::lock_guard lock(mutex_);
    return setup_;
}

void ThermoSetup::set_object(const lep3_object_params_t &p)
{
    const std::lock_guard lock(mutex_);
    auto next = std::make_shared<MeasureSetup>(*setup_);
    next->object = p;
    next->object_given = true;
    setup_ = std::move(next);
}

NamedRegion ThermoSetup::add_region(int kind, const std::string &name, const lep3_region_t &where)
{
    const std::lock_guard lock(mutex_);
    const auto &regions = setup_->regions;
    if (regions.size() >= kMaxRegions)
        throw std::invalid_argument("the viewer keeps " + std::to_string(kMaxRegions) +
                                    " regions at most; delete one first");
    auto taken = [&](const std::string &n) {
        return std::any_of(regions.begin(), regions.end(), [&](const NamedRegion &r) { return r.name == n; });
    };
    NamedRegion r{name, where};
    r.region.kind = kind;
    if (name.empty()) {
        // The first free name of its kind: box1, box2...
        for (int ordinal = 1; r.name.empty() || taken(r.name); ++ordinal)
            r.name = std::string(lep3::thermo::region_kind_name(kind)) + std::to_string(ordinal);
    } else if (taken(name)) {
        throw std::invalid_argument("a region named '" + name + "' exists already");
    }
    auto next = std::make_shared<MeasureSetup>(*setup_);
    next->regions.push_back(r);
    setup_ = std::move(next);
    return r;
}

bool ThermoSetup::remove_region(const std::string &name)
{
    const std::lock_guard lock(mutex_);
    auto next = std::make_shared<MeasureSetup>(*setup_);
    const auto gone = std::erase_if(next->regions, [&](const NamedRegion &r) { return r.name == name; });
    if (gone == 0)
        return false;
    setup_ = std::move(next);
    return true;
}

void ThermoSetup::check_region_known(const std::string &name) const
{
    const auto &regions = setup_->regions;
    if (std::none_of(regions.begin(), regions.end(), [&](const NamedRegion &r) { return r.name == name; }))
        throw std::invalid_argument("the alarm names the region '" + name + "', which is not defined");
}

AlarmState ThermoSetup::add_alarm_locked(const lep3::thermo::AlarmRule &rule)
{
    if (alarms_.size() >= kMaxAlarms)
        throw std::invalid_argument("the viewer keeps " + std::to_string(kMaxAlarms) +
                                    " alarms at most; delete one first");
    check_region_known(rule.region);
    AlarmState state{next_id_++, rule.text, rule.region, false, std::nullopt};
    alarms_.push_back(Alarm{state, lep3::thermo::AlarmWatch({rule}, hysteresis_c_)});
    return state;
}

AlarmState ThermoSetup::add_alarm(const lep3::thermo::AlarmRule &rule)
{
    const std::lock_guard lock(mutex_);
    return add_alarm_locked(rule);
}

bool ThermoSetup::remove_alarm(uint64_t id)
{
    const std::lock_guard lock(mutex_);
    return std::erase_if(alarms_, [&](const Alarm &a) { return a.state.id == id; }) > 0;
}

std::vector<AlarmState> ThermoSetup::observe(const MeasureSetup &setup,
                                             const std::vector<lep3_region_stats_t> &readings,
                                             std::chrono::nanoseconds now)
{
    std::map<std::string, lep3_region_stats_t> by_name;
    for (size_t i = 0; i < readings.size() && i < setup.regions.size(); ++i)
        by_name[setup.regions[i].name] = readings[i];
    const std::lock_guard lock(mutex_);
    std::vector<AlarmState> states;
    states.reserve(alarms_.size());
    for (Alarm &a : alarms_) {
        a.watch.update(by_name, now);
        a.state.raised = a.watch.raised(0);
        a.state.times_raised = a.watch.times_raised();
        const auto found = by_name.find(a.state.region);
        a.state.value_c =
            found == by_name.end() ? std::nullopt : statistic_of(found->second, a.watch.rules()[0].statistic);
        states.push_back(a.state);
    }
    return states;
}

std::vector<AlarmState> ThermoSetup::alarms() const
{
    const std::lock_guard lock(mutex_);
    std::vector<AlarmState> states;
    for (const Alarm &a : alarms_)
        states.push_back(a.state);
    return states;
}

} // namespace lep3tool::serve
