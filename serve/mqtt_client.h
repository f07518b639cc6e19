// The MQTT output's connection to its broker, through libmosquitto: the client, its will
// (the retained "offline" of the state topic, which the broker publishes when the
// connection breaks without a goodbye), TLS and the user's credentials, and the
// library's network thread, which connects, keeps the connection alive and reconnects
// after a loss, waiting 1, 2, 4... up to 30 s between attempts. The events arrive on
// that thread.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "serve/mqtt_queue.h"
#include "serve/mqtt_settings.h"

struct mosquitto;
struct mosquitto_message;

namespace lep3tool::serve {

class MqttClient {
  public:
    struct Events {
        std::function<void()> connected;
        std::function<void(const std::string &why)> lost; // also when a connection attempt fails
        std::function<void(int mid)> delivered;           // written (QoS 0) or acknowledged (QoS 1)
        std::function<void(const std::string &topic, const std::string &payload)> message;
    };

    // Throws std::runtime_error with a sentence for the log (a TLS file it can't use).
    MqttClient(const MqttSettings &settings, const std::string &client_id, const OutMessage &will, Events events);
    ~MqttClient();
    MqttClient(const MqttClient &) = delete;
    MqttClient &operator=(const MqttClient &) = delete;

    // Starts the network thread and the first connection attempt; a broker that is not
    // there yet is tried again, never an error.
    void start();
    // Hands a message to the library; its id for delivered(), or -1 when the connection
    // is down (the message was not taken).
    int publish(const OutMessage &message);
    // False when the connection is down.
    bool subscribe(const std::string &topic, int qos);
    // Publishes last when connected and waits for its delivery at most wait, then says
    // goodbye (so the broker keeps its will) and ends the network thread. Idempotent.
    void stop(const OutMessage &last, std::chrono::milliseconds wait);

  private:
    static void on_connect(mosquitto *, void *self, int rc);
    static void on_disconnect(mosquitto *, void *self, int rc);
    static void on_publish(mosquitto *, void *self, int mid);
    static void on_message(mosquitto *, void *self, const mosquitto_message *message);

    struct Destroy {
        void operator()(mosquitto *m) const;
    };
    std::unique_ptr<mosquitto, Destroy> mosq_;
    const MqttSettings settings_;
    Events events_;
    std::atomic<int> last_delivered_{-1};
    bool started_ = false;
    bool stopped_ = false;
};

} // namespace lep3tool::serve
