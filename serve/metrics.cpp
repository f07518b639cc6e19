#include "serve/metrics.h"

#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lep3.h"
#include "names/link_states.h"
#include "serve/process_figures.h"

namespace lep3tool::serve {

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;
using Labels = std::vector<ClientMetric::Label>;

// The version of the text format the serializer writes, as scrapers expect to be told.
constexpr const char *kTextFormat = "text/plain; version=0.0.4; charset=utf-8";

class Families {
  public:
    // Starts a family; the samples that follow belong to it.
    Families &family(std::string name, std::string help, MetricType type)
    {
        families_.push_back(MetricFamily{std::move(name), std::move(help), type, {}});
        return *this;
    }
    Families &sample(double value, Labels labels = {})
    {
        ClientMetric m;
        m.label = std::move(labels);
        if (families_.back().type == MetricType::Counter)
            m.counter.value = value;
        else
            m.gauge.value = value;
        families_.back().metric.push_back(std::move(m));
        return *this;
    }
    Families &counter(std::string name, std::string help, uint64_t value)
    {
        return family(std::move(name), std::move(help), MetricType::Counter).sample(static_cast<double>(value));
    }
    Families &gauge(std::string name, std::string help, double value)
    {
        return family(std::move(name), std::move(help), MetricType::Gauge).sample(value);
    }
    // A family that turned out to have no sample is left out.
    std::string text()
    {
        std::erase_if(families_, [](const MetricFamily &f) { return f.metric.empty(); });
        return prometheus::TextSerializer().Serialize(families_);
    }

  private:
    std::vector<MetricFamily> families_;
};

void link_figures(Families &out, const FeedStatus &status)
{
    const lep3_link_stats_t &c = status.counters;
    out.family("lep3_link_state", "The link to the bridge: 1 for the state it is in, 0 for the others",
               MetricType::Gauge);
    for (size_t state = 0; state < lep3::names::kLinkStateNames.size(); ++state)
        out.sample(static_cast<int>(state) == status.link ? 1 : 0,
                   {{"state", std::string(lep3::names::kLinkStateNames[state])}});
    uint64_t timeouts = 0;
    LEP3_GetCommandTimeouts(&timeouts);
    out.counter("lep3_link_read_bytes_total", "Bytes read from the bridge", c.bytes_read)
        .counter("lep3_link_skipped_bytes_total", "Bytes skipped while looking for the start of a packet",
                 c.bytes_dropped)
        .counter("lep3_frames_total", "Frames received whole from the bridge", c.frames_raw + c.frames_rgb)
        .counter("lep3_frames_dropped_total", "Frames replaced by a newer one before the service took them",
                 c.frames_overwritten)
        .counter("lep3_frame_check_errors_total", "Frames whose check byte did not match", c.frame_check_errors)
        .counter("lep3_reply_check_errors_total", "Command replies whose check byte did not match",
                 c.reply_check_errors)
        .counter("lep3_reconnects_total", "Times the bridge came back and was opened again", c.reconnects)
        .counter("lep3_command_timeouts_total", "Camera commands whose reply did not come in time", timeouts);
}

void frame_figures(Families &out, const ViewFrame &frame)
{
    out.gauge("lep3_last_frame_timestamp_seconds", "When the newest frame was received, in seconds since the epoch",
              std::chrono::duration<double>(frame.taken.time_since_epoch()).count());
    if (!frame.has_temperatures())
        return; // no RBFO parameters: no temperatures to give
    const lep3_region_t whole{LEP3_REGION_BOX, 0, 0, kFrameWidth - 1, kFrameHeight - 1};
    lep3_region_stats_t all{};
    LEP3_MeasureRegion(frame.celsius.data(), &whole, &all);
    out.family("lep3_frame_temperature_celsius", "The newest frame's temperatures", MetricType::Gauge)
        .sample(all.min, {{"stat", "min"}})
        .sample(all.max, {{"stat", "max"}})
        .sample(all.mean, {{"stat", "mean"}});
    if (frame.centre.celsius)
        out.sample(*frame.centre.celsius, {{"stat", "centre"}});

    out.family("lep3_temperature_celsius", "Each region's temperatures in the newest frame", MetricType::Gauge);
    if (frame.measured) {
        for (size_t i = 0; i < frame.readings.size() && i < frame.measured->regions.size(); ++i) {
            const std::string &name = frame.measured->regions[i].name;
            const lep3_region_stats_t &r = frame.readings[i];
            out.sample(r.min, {{"region", name}, {"stat", "min"}})
                .sample(r.max, {{"region", name}, {"stat", "max"}})
                .sample(r.mean, {{"region", name}, {"stat", "mean"}});
        }
    }
}

void alarm_figures(Families &out, const std::vector<AlarmState> &alarms)
{
    double raised = 0;
    for (const AlarmState &a : alarms)
        raised += a.raised ? 1 : 0;
    out.gauge("lep3_alarms_active", "Alarms raised now", raised);
    out.family("lep3_alarm_active", "Each alarm: 1 while raised", MetricType::Gauge);
    for (const AlarmState &a : alarms)
        out.sample(a.raised ? 1 : 0, {{"alarm", std::to_string(a.id)}, {"region", a.region}, {"rule", a.rule}});
}

// The names every Prometheus client library gives these, so that the dashboards made for
// them show the service as they show any program.
void own_figures(Families &out)
{
    const auto f = process_figures();
    if (!f)
        return;
    out.family("process_cpu_seconds_total", "Total user and system CPU time spent in seconds", MetricType::Counter)
        .sample(f->cpu_seconds)
        .gauge("process_resident_memory_bytes", "Resident memory size in bytes", f->resident_bytes)
        .gauge("process_virtual_memory_bytes", "Virtual memory size in bytes", f->virtual_bytes)
        .gauge("process_open_fds", "Number of open file descriptors", f->open_fds)
        .gauge("process_start_time_seconds", "Start time of the process since unix epoch in seconds",
               f->start_time_seconds);
    if (f->max_fds > 0)
        out.gauge("process_max_fds", "Maximum number of open file descriptors", f->max_fds);
}

} // namespace

HttpResponse metrics_answer(const ViewContext &context)
{
    Families out;
    const Provenance camera = context.feed.provenance();
    out.family("lep3_camera_info", "The camera's serial number and its bridge's firmware", MetricType::Gauge)
        .sample(1, {{"serial", camera.serial_number}, {"firmware", camera.firmware_version}});
    link_figures(out, context.feed.status());
    const auto frame = context.hub.newest();
    if (frame)
        frame_figures(out, *frame);
    alarm_figures(out, context.thermo.alarms());
    own_figures(out);

    HttpResponse res;
    res.content_type = kTextFormat;
    res.set_header("Cache-Control", "no-store");
    res.body = out.text();
    return res;
}

} // namespace lep3tool::serve
