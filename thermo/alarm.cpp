#include "thermo/alarm.h"

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace lep3::thermo {

namespace {

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return s;
}

double number(std::string_view text, std::string_view what)
{
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        throw std::invalid_argument(std::string(what) + ": '" + std::string(text) + "' is not a number");
    return value;
}

std::chrono::milliseconds duration(std::string_view text, std::string_view what)
{
    double scale = 1000;
    if (text.ends_with("ms")) {
        scale = 1;
        text.remove_suffix(2);
    } else if (text.ends_with("s")) {
        text.remove_suffix(1);
    } else {
        throw std::invalid_argument(std::string(what) + ": the duration '" + std::string(text) +
                                    "' needs a unit, s or ms");
    }
    const double ms = number(text, what) * scale;
    if (ms < 0)
        throw std::invalid_argument(std::string(what) + ": a duration can't be negative");
    return std::chrono::milliseconds(std::llround(ms));
}

} // namespace

double value_of(const lep3_region_stats_t &s, Statistic statistic)
{
    switch (statistic) {
    case Statistic::min:
        return s.min;
    case Statistic::mean:
        return s.mean;
    case Statistic::max:
        break;
    }
    return s.max;
}

double parse_celsius(std::string_view text, std::string_view what)
{
    text = trimmed(text);
    if (text.ends_with("C"))
        text.remove_suffix(1);
    return number(text, what);
}

double parse_hysteresis(std::string_view text)
{
    const double c = parse_celsius(text, "--hysteresis");
    if (c < 0)
        throw std::invalid_argument("--hysteresis can't be negative");
    return c;
}

AlarmRule parse_alarm(std::string_view text)
{
    AlarmRule rule;
    rule.text = std::string(trimmed(text));
    const std::string what = "alarm '" + rule.text + "'";
    std::string_view rest = rule.text;
    if (const size_t at = rest.find(" for "); at != std::string_view::npos) {
        rule.hold = duration(trimmed(rest.substr(at + 5)), what);
        rest = trimmed(rest.substr(0, at));
    }
    const size_t op = rest.find_first_of("<>");
    if (op == std::string_view::npos)
        throw std::invalid_argument(what + " needs '>' or '<' between a region and a limit, as in box1>60C");
    rule.above = rest[op] == '>';
    std::string_view subject = trimmed(rest.substr(0, op));
    rule.statistic = rule.above ? Statistic::max : Statistic::min;
    if (const size_t dot = subject.find('.'); dot != std::string_view::npos) {
        const std::string_view stat = subject.substr(dot + 1);
        if (stat == "min")
            rule.statistic = Statistic::min;
        else if (stat == "max")
            rule.statistic = Statistic::max;
        else if (stat == "mean")
            rule.statistic = Statistic::mean;
        else
            throw std::invalid_argument(what + ": '" + std::string(stat) + "' is not min, max or mean");
        subject = subject.substr(0, dot);
    }
    if (subject.empty())
        throw std::invalid_argument(what + " names no region");
    rule.region = std::string(subject);
    rule.limit_c = parse_celsius(rest.substr(op + 1), what);
    return rule;
}

AlarmWatch::AlarmWatch(std::vector<AlarmRule> rules, double hysteresis_c)
    : rules_(std::move(rules)), state_(rules_.size()), hysteresis_c_(hysteresis_c)
{
}

std::vector<AlarmEvent> AlarmWatch::update(const std::map<std::string, lep3_region_stats_t> &readings,
                                           std::chrono::nanoseconds now)
{
    std::vector<AlarmEvent> events;
    for (size_t i = 0; i < rules_.size(); ++i) {
        const AlarmRule &rule = rules_[i];
        State &s = state_[i];
        const auto reading = readings.find(rule.region);
        if (reading == readings.end() || reading->second.pixels == 0)
            continue;
        const double v = value_of(reading->second, rule.statistic);
        if (s.raised) {
            const bool back = rule.above ? v < rule.limit_c - hysteresis_c_ : v > rule.limit_c + hysteresis_c_;
            if (back) {
                s.raised = false;
                s.pending = false;
                events.push_back({&rule, false, v});
            }
            continue;
        }
        const bool beyond = rule.above ? v > rule.limit_c : v < rule.limit_c;
        if (!beyond) {
            s.pending = false;
            continue;
        }
        if (!s.pending) {
            s.pending = true;
            s.since = now;
        }
        if (now - s.since >= rule.hold) {
            s.raised = true;
            s.pending = false;
            ++times_raised_;
            events.push_back({&rule, true, v});
        }
    }
    return events;
}

} // namespace lep3::thermo
