#include "serve/mqtt_output.h"

#include <unistd.h>

#include <utility>

#include "hostkit/console.h"
#include "hostkit/frame_pictures.h"
#include "hostkit/signals.h"
#include "serve/mqtt_discovery.h"
#include "serve/mqtt_messages.h"
#include "serve/view_json.h"

namespace lep3tool::serve {

namespace {

constexpr std::chrono::seconds kHealthEvery{10};
// How long the thread waits for a frame: the bound on health reports, stopping and
// handing over what queued while the broker was away.
constexpr std::chrono::milliseconds kWait{100};
// Messages handed to the client and not yet written or acknowledged; the rest wait in the
// bounded queue, where the oldest measurements can still make room.
constexpr size_t kWindow = 32;
constexpr std::chrono::milliseconds kGoodbyeWait{500};

std::string topic_prefix(const MqttSettings &settings, const FeedInfo &feed, const std::string &device)
{
    return settings.topic.empty() ? default_mqtt_topic(feed.provenance().serial_number, device) : settings.topic;
}

std::string seconds_text(std::chrono::milliseconds interval)
{
    char text[32];
    (void)std::snprintf(text, sizeof text, "%g s", std::chrono::duration<double>(interval).count());
    return text;
}

nlohmann::json alarm_event_json(const AlarmEvent &e, const ViewFrame &frame)
{
    nlohmann::json j = alarm_json(e.alarm);
    j.erase("raised");
    j["event"] = e.raised ? "raised" : "cleared";
    j["time"] = iso_time(frame.taken);
    j["frame"] = frame.number;
    j["times_raised"] = e.alarm.times_raised;
    if (e.caught_up)
        j["value_c"] = nullptr;
    return j;
}

} // namespace

MqttOutput::MqttOutput(FrameHub &hub, const FeedInfo &feed, ThermoSetup &thermo, const MqttSettings &settings,
                       const std::string &device, const ServiceLog &log)
    : hub_(hub), feed_(feed), thermo_(thermo), settings_(settings), log_(log),
      topic_(topic_prefix(settings, feed, device)), serial_(feed.provenance().serial_number),
      firmware_(feed.provenance().firmware_version),
      queue_(settings.queue_limit), context_{hub, feed, pictures_, no_streams_, thermo, ""}
{
    MqttClient::Events events;
    events.connected = [this] { connected(); };
    events.lost = [this](const std::string &why) { lost(why); };
    events.delivered = [this](int mid) { delivered(mid); };
    events.message = [this](const std::string &topic, const std::string &payload) { command(topic, payload); };
    const std::string client_id =
        "lep3-" + topic_.substr(topic_.find_last_of('/') + 1) + "-" + std::to_string(getpid());
    client_ = std::make_unique<MqttClient>(settings_, client_id, state("offline"), std::move(events));
}

MqttOutput::~MqttOutput()
{
    MqttOutput::stop();
}

OutMessage MqttOutput::state(const char *text) const
{
    return {MessageKind::state, topic_ + "/state", text, 1, true};
}

void MqttOutput::start()
{
    if (settings_.commands)
        commands_ = std::make_unique<CommandRunner>(context_, [this](std::string result) {
            queue_.push({MessageKind::result, topic_ + std::string(kResultTopic), std::move(result), 1, false});
        });
    next_health_ = Clock::now();
    {
        const SignalsBlocked blocked;
        thread_ = std::thread([this] { run(); });
    }
    log_.say(kLogNotice, "publishing to the MQTT broker at %s under %s/ (measurements every %s%s%s)",
             settings_.address().c_str(), topic_.c_str(), seconds_text(settings_.interval).c_str(),
             settings_.commands ? ", commands taken" : "", settings_.discovery ? ", discovery" : "");
    client_->start();
}

void MqttOutput::stop()
{
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
    // The client's thread hands commands over until it ends.
    client_->stop(state("offline"), kGoodbyeWait);
    commands_.reset();
}

void MqttOutput::run()
{
    uint64_t seq = 0;
    while (!stopping_.load() && !hub_.closed()) {
        const auto frame = hub_.wait_newer(seq, kWait);
        const auto now = Clock::now();
        if (frame) {
            seq = frame->seq;
            take(*frame, now);
        }
        if (now >= next_health_) {
            next_health_ = now + kHealthEvery;
            const OutputHealth health{queue_.size(), queue_.dropped(), reconnects_.load(), connected_.load()};
            queue_.push({MessageKind::health, topic_ + "/health",
                         json_text(health_json(feed_.status(), hub_.followers(), health)), 0, false});
        }
        drain();
    }
}

void MqttOutput::take(const ViewFrame &frame, Clock::time_point now)
{
    // Every raising and clearing, from every frame this thread takes.
    for (const AlarmEvent &e : alarm_events_.update(frame.alarms))
        queue_.push({MessageKind::alarm, topic_ + "/alarms", json_text(alarm_event_json(e, frame)), 1, false});
    if (settings_.discovery)
        announce(frame);
    if (now >= next_measurement_) {
        // Keep the cadence; after a pause without frames, start it again.
        next_measurement_ = now - next_measurement_ < settings_.interval ? next_measurement_ + settings_.interval
                                                                         : now + settings_.interval;
        queue_.push({MessageKind::measurement, topic_ + "/measurements", json_text(measurement_json(frame)), 0, false});
    }
}

void MqttOutput::announce(const ViewFrame &frame)
{
    // Announced again when the regions or alarms change, and after each connection (a
    // broker that restarted without keeping retained messages forgot them).
    std::vector<std::string> key;
    const auto setup = frame.measured ? frame.measured : thermo_.setup();
    for (const auto &r : setup->regions)
        key.push_back(r.name);
    for (const AlarmState &a : frame.alarms)
        key.push_back(std::to_string(a.id) + a.rule);
    const bool all = announce_all_.exchange(false);
    if (key == announced_key_ && !all)
        return;
    announced_key_ = std::move(key);
    if (all)
        announced_.clear();
    const DiscoveryDevice device{topic_, serial_, firmware_};
    for (OutMessage &m : discovery_changes(announced_, discovery_configs(device, setup->regions, frame.alarms)))
        queue_.push(std::move(m));
}

void MqttOutput::drain()
{
    while (connected_.load()) {
        {
            const std::lock_guard lock(flight_mutex_);
            if (in_flight_.size() >= kWindow)
                return;
        }
        auto m = queue_.pop();
        if (!m)
            return;
        if (!send(*m)) {
            queue_.push_front(std::move(*m));
            return;
        }
    }
}

bool MqttOutput::send(const OutMessage &message)
{
    // The client's thread may report the delivery before the id is noted here.
    const int mid = client_->publish(message);
    if (mid < 0)
        return false;
    const std::lock_guard lock(flight_mutex_);
    if (delivered_early_.erase(mid) == 0)
        in_flight_[mid] = message.kind;
    return true;
}

void MqttOutput::connected()
{
    bool again = false;
    {
        const std::lock_guard lock(flight_mutex_);
        again = ever_connected_;
        ever_connected_ = true;
        loss_said_ = false;
    }
    if (again)
        reconnects_.fetch_add(1);
    connected_ = true;
    announce_all_ = true;
    send(state("online"));
    if (settings_.commands)
        for (const std::string_view command : kCommandTopics)
            client_->subscribe(topic_ + std::string(command), 1);
    log_.say(kLogNotice, "%s the MQTT broker at %s", again ? "connected again to" : "connected to",
             settings_.address().c_str());
}

void MqttOutput::lost(const std::string &why)
{
    const bool was = connected_.exchange(false);
    uint64_t measurements = 0;
    bool say = false;
    {
        // What QoS 0 had not written yet went with the connection; the library sends QoS 1
        // again by itself after reconnecting, outside the window (a window that waited for
        // those could stay shut if one never came).
        const std::lock_guard lock(flight_mutex_);
        for (const auto &[mid, kind] : in_flight_)
            measurements += kind == MessageKind::measurement ? 1 : 0;
        in_flight_.clear();
        delivered_early_.clear();
        // Once an outage: the attempts that follow fail alike.
        say = was || !loss_said_;
        loss_said_ = true;
    }
    queue_.count_lost(measurements);
    if (say)
        log_.say(kLogWarning, "the MQTT broker at %s is away (%s); up to %zu messages wait while it is tried again",
                 settings_.address().c_str(), why.c_str(), settings_.queue_limit);
}

void MqttOutput::delivered(int mid)
{
    const std::lock_guard lock(flight_mutex_);
    if (in_flight_.erase(mid) == 0)
        delivered_early_.insert(mid);
}

void MqttOutput::command(const std::string &topic, const std::string &payload)
{
    const std::string prefix = topic_ + "/cmd/";
    if (commands_ && topic.starts_with(prefix) && topic != topic_ + std::string(kResultTopic))
        commands_->submit(topic.substr(prefix.size()), payload);
}

std::unique_ptr<Output> make_mqtt_output(FrameHub &hub, const FeedInfo &feed, ThermoSetup &thermo,
                                         const MqttSettings &settings, const std::string &device, const ServiceLog &log)
{
    return std::make_unique<MqttOutput>(hub, feed, thermo, settings, device, log);
}

} // namespace lep3tool::serve
