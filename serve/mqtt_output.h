// The service's MQTT output: under its prefix, the retained state (online, and offline as
// the will and when it stops), a measurement every interval, one message per alarm
// raised or cleared (QoS 1), the health of the link every 10 s, Home Assistant's
// discovery when asked, and commands when allowed (mqtt_commands.h).
//
// It never slows the camera: a thread of its own follows the hub and queues what is due,
// and hands the broker's client at most a window of messages at a time; a broker that is
// slow or away fills the bounded queue (mqtt_queue.h) and no more, while the client
// reconnects by itself.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "serve/alarm_events.h"
#include "serve/client_slots.h"
#include "serve/feed_info.h"
#include "serve/frame_hub.h"
#include "serve/mqtt_client.h"
#include "serve/mqtt_commands.h"
#include "serve/mqtt_queue.h"
#include "serve/mqtt_settings.h"
#include "serve/output.h"
#include "serve/picture.h"
#include "serve/routes.h"
#include "serve/service_log.h"
#include "serve/thermo_setup.h"

namespace lep3tool::serve {

class MqttOutput : public Output {
  public:
    // device: the bridge's path, naming the default prefix when the serial number is
    // unknown. Throws std::runtime_error when the client can't be made.
    MqttOutput(FrameHub &hub, const FeedInfo &feed, ThermoSetup &thermo, const MqttSettings &settings,
               const std::string &device, const ServiceLog &log);
    ~MqttOutput() override;

    std::string_view name() const override { return "mqtt"; }
    void start() override;
    void stop() override;
    bool running() const override { return true; }

  private:
    using Clock = std::chrono::steady_clock;

    void run();
    void take(const ViewFrame &frame, Clock::time_point now);
    void announce(const ViewFrame &frame);
    void drain();
    // Hands one message to the client and remembers it until delivered; false when the
    // connection is down.
    bool send(const OutMessage &message);
    OutMessage state(const char *text) const;

    // The client's events, on its network thread.
    void connected();
    void lost(const std::string &why);
    void delivered(int mid);
    void command(const std::string &topic, const std::string &payload);

    FrameHub &hub_;
    const FeedInfo &feed_;
    ThermoSetup &thermo_;
    const MqttSettings settings_;
    const ServiceLog &log_;
    const std::string topic_;
    const std::string serial_;
    const std::string firmware_;
    MessageQueue queue_;

    // What commands need of the HTTP API's context.
    PictureMaker pictures_;
    ClientSlots no_streams_{0, 0};
    ViewContext context_;
    std::unique_ptr<CommandRunner> commands_;

    // The thread's own.
    AlarmEvents alarm_events_;
    Clock::time_point next_measurement_{};
    Clock::time_point next_health_{};
    std::vector<std::string> announced_key_;
    std::map<std::string, std::string> announced_;

    std::mutex flight_mutex_;              // guards the four below
    std::map<int, MessageKind> in_flight_; // handed to the client, not yet delivered
    std::set<int> delivered_early_;        // delivered before send() could note them
    bool ever_connected_ = false;
    bool loss_said_ = false; // in the log, since the last connection

    std::atomic<bool> connected_{false};
    std::atomic<bool> announce_all_{false};
    std::atomic<uint64_t> reconnects_{0};
    std::atomic<bool> stopping_{false};
    std::unique_ptr<MqttClient> client_;
    std::thread thread_;
};

// The output for these settings; in a build without libmosquitto, a std::runtime_error
// that says so.
std::unique_ptr<Output> make_mqtt_output(FrameHub &hub, const FeedInfo &feed, ThermoSetup &thermo,
                                         const MqttSettings &settings, const std::string &device,
                                         const ServiceLog &log);

} // namespace lep3tool::serve
