// lep3 watch: regions of the live picture held against alarm limits; prints each alarm
// raised or cleared, and ends with a status of its own when any was raised.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hostkit/command_support.h"
#include "hostkit/command_thread.h"
#include "hostkit/console.h"
#include "hostkit/frame_pictures.h"
#include "hostkit/frame_pump.h"
#include "hostkit/radiometry.h"
#include "hostkit/signals.h"
#include "hostkit/text_format.h"
#include "hostkit/thermography.h"
#include "lep3.h"
#include "thermo/alarm.h"
#include "tools/commands.h"

namespace lep3tool {

namespace {

constexpr OptionDef kWatchOptions[] = {
    {"alarm", 'a', "RULE", "an alarm on a region, e.g. 'box1>60C for 2s' or 'spot1<5C' (repeatable)"},
    {"hysteresis", 0, "T", "how far back past its limit a raised alarm's value must come to clear (default 0.5C)"},
    {"count", 'n', "N", "stop after N frames (default: run until Ctrl-C)"},
    {"seconds", 's', "S", "stop after S seconds"},
    {"until-alarm", 0, "", "stop at the first alarm raised"},
    {"rbfo", 0, "SET", "the camera's RBFO parameters for temperatures: internal (default) or external"},
    {"json", 0, "", "print one JSON object per alarm raised or cleared"},
};
constexpr auto kOptions = join_options(kWatchOptions, kObjectOptions, kRegionOptions);

// The exit status when an alarm was raised during the watch.
constexpr int kExitAlarm = 3;
constexpr int64_t kMaxCount = 1000000000;
constexpr std::chrono::seconds kFrameWait{5};

const char *statistic_name(lep3::thermo::Statistic s)
{
    switch (s) {
    case lep3::thermo::Statistic::min:
        return "min";
    case lep3::thermo::Statistic::mean:
        return "mean";
    case lep3::thermo::Statistic::max:
        break;
    }
    return "max";
}

struct WatchOptions {
    std::vector<lep3::thermo::AlarmRule> alarms;
    double hysteresis_c = lep3::thermo::kDefaultHysteresisC;
    std::optional<int64_t> count;
    std::optional<std::chrono::steady_clock::duration> limit;
    bool until_alarm = false;
    bool json = false;
    RbfoSet rbfo_set = RbfoSet::internal;
    ObjectSettings object;
    std::vector<lep3::thermo::NamedRegion> regions;
};

WatchOptions parse_options(const ParsedArgs &args)
{
    if (!args.positionals().empty())
        throw UsageError("watch takes no arguments; alarms are given with --alarm");
    WatchOptions o;
    o.regions = parse_regions(args);
    for (const std::string &text : args.values("alarm")) {
        try {
            o.alarms.push_back(lep3::thermo::parse_alarm(text));
        } catch (const std::invalid_argument &e) {
            throw UsageError(e.what());
        }
        const std::string &name = o.alarms.back().region;
        if (std::none_of(o.regions.begin(), o.regions.end(), [&](const auto &r) { return r.name == name; }))
            throw UsageError("the alarm '" + o.alarms.back().text + "' names the region '" + name +
                             "', which no --spot, --box or --line defines");
    }
    if (o.alarms.empty())
        throw UsageError("watch needs at least one --alarm");
    if (auto h = args.value("hysteresis")) {
        try {
            o.hysteresis_c = lep3::thermo::parse_hysteresis(*h);
        } catch (const std::invalid_argument &e) {
            throw UsageError(e.what());
        }
    }
    if (auto n = args.value("count"))
        o.count = parse_integer(*n, "-n", 1, kMaxCount);
    if (auto s = args.value("seconds")) {
        const double seconds = parse_number(*s, "--seconds");
        if (seconds <= 0)
            throw UsageError("--seconds must be above 0");
        o.limit =
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    }
    o.until_alarm = args.has("until-alarm");
    o.json = args.has("json");
    if (auto set = args.value("rbfo"))
        o.rbfo_set = parse_rbfo_set(*set);
    o.object = parse_object_settings(args);
    return o;
}

void report(const lep3::thermo::AlarmEvent &e, const Frame &frame, bool json)
{
    const std::string when = iso_time(frame.taken);
    const char *what = e.raised ? "raised" : "cleared";
    if (json) {
        const nlohmann::ordered_json line = {
            {"time", when},
            {"frame", frame.number},
            {"alarm", e.rule->text},
            {"event", what},
            {"region", e.rule->region},
            {"statistic", statistic_name(e.rule->statistic)},
            {"value_c", std::round(e.value_c * 100) / 100},
        };
        print("%s\n", line.dump().c_str());
    } else {
        print("%s frame %u: alarm %s: %s (%s %s %.2f °C)\n", when.c_str(), frame.number, what, e.rule->text.c_str(),
              e.rule->region.c_str(), statistic_name(e.rule->statistic), e.value_c);
    }
    flush_output();
}

int run_watch(const ParsedArgs &args)
{
    const WatchOptions o = parse_options(args);
    Session session(session_options(args));
    const std::optional<lep3_rbfo_t> rbfo = awaiting_reply([&] { return read_rbfo(o.rbfo_set); });
    if (!rbfo)
        throw std::runtime_error("no temperatures to watch: the camera's RBFO parameters are unavailable");
    check_result(LEP3_GetRawVideo(), "the video request");
    FramePump pump;
    lep3::thermo::AlarmWatch watch(o.alarms, o.hysteresis_c);
    const lep3_object_params_t *object = o.object.given ? &o.object.params : nullptr;
    auto frame = std::make_unique<Frame>();
    std::vector<float> celsius(kFramePixels);
    if (!o.json) {
        print("watching %zu regions for %zu alarms%s%s\n", o.regions.size(), o.alarms.size(),
              object != nullptr ? "; object " : "", object != nullptr ? object_text(*object).c_str() : "");
        flush_output();
    }
    const auto start = std::chrono::steady_clock::now();
    int64_t frames = 0;
    while (!o.count || frames < *o.count) {
        if (o.limit && std::chrono::steady_clock::now() - start >= *o.limit)
            break;
        const auto wait = pump.next(*frame, kFrameWait);
        if (wait == FramePump::Wait::stopped)
            break;
        if (wait == FramePump::Wait::timed_out)
            throw std::runtime_error("no frame from the bridge at " + session.device() + " for 5 seconds");
        if (wait == FramePump::Wait::gone || frame->format != kFormatRaw)
            continue; // the session brings the bridge back by itself
        ++frames;
        frame_celsius(frame->raw(), *rbfo, celsius, object);
        const std::vector<lep3_region_stats_t> readings = measure_regions(celsius, o.regions);
        std::map<std::string, lep3_region_stats_t> by_name;
        for (size_t i = 0; i < readings.size(); ++i)
            by_name[o.regions[i].name] = readings[i];
        const auto events = watch.update(by_name, frame->completed);
        for (const auto &e : events)
            report(e, *frame, o.json);
        if (o.until_alarm && watch.times_raised() > 0)
            break;
    }
    if (!o.json)
        print("watched %" PRId64 " frames; %" PRIu64 " alarms raised\n", frames, watch.times_raised());
    return watch.times_raised() > 0 ? kExitAlarm : kExitOk;
}

} // namespace

const Command kWatchCommand = {
    "watch",
    "--alarm RULE... [--spot|--box|--line [NAME=]X0,Y0[,X1,Y1] ...] [--hysteresis T] [-n N] [--seconds S] "
    "[--until-alarm] [--json] [--emissivity E ...]",
    "hold regions of the picture against alarm limits and report each alarm raised or cleared",
    "A rule names a region, '>' or '<', a limit in degrees and optionally how long the\n"
    "limit must be passed: 'box1>60C for 2s' compares box1's maximum, 'spot1<5C' a minimum,\n"
    "'box1.mean>40C' the mean. A raised alarm clears once its value is back past the limit by\n"
    "the hysteresis. Ctrl-C, -n or --seconds end the watch; the exit status is 3 when any\n"
    "alarm was raised, 0 when none was, 1 for a failure.",
    kOptions,
    run_watch,
};

} // namespace lep3tool
