#include "serve/mqtt_client.h"

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "hostkit/signals.h"

namespace lep3tool::serve {

namespace {

constexpr int kKeepAliveSeconds = 30;
constexpr unsigned kFirstRetrySeconds = 1;
constexpr unsigned kLongestRetrySeconds = 30;
// Where Debian keeps the certificate authorities every program trusts.
constexpr const char *kSystemCertificates = "/etc/ssl/certs";

void check(int rc, const std::string &what)
{
    if (rc != MOSQ_ERR_SUCCESS)
        throw std::runtime_error("MQTT: " + what + ": " + mosquitto_strerror(rc));
}

const char *or_null(const std::string &text)
{
    return text.empty() ? nullptr : text.c_str();
}

} // namespace

void MqttClient::Destroy::operator()(mosquitto *m) const
{
    mosquitto_destroy(m);
}

MqttClient::MqttClient(const MqttSettings &settings, const std::string &client_id, const OutMessage &will,
                       Events events)
    : settings_(settings), events_(std::move(events))
{
    static std::once_flag library;
    std::call_once(library, [] { mosquitto_lib_init(); });
    mosq_.reset(mosquitto_new(client_id.c_str(), true, this));
    if (!mosq_)
        throw std::runtime_error("MQTT: cannot make a client");
    mosquitto *m = mosq_.get();
    check(mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311), "protocol version");
    if (!settings.user.empty())
        check(mosquitto_username_pw_set(m, settings.user.c_str(),
                                        settings.password ? settings.password->c_str() : nullptr),
              "user name");
    if (settings.tls) {
        const bool own_ca = !settings.ca_file.empty();
        check(mosquitto_tls_set(m, own_ca ? settings.ca_file.c_str() : nullptr, own_ca ? nullptr : kSystemCertificates,
                                or_null(settings.cert_file), or_null(settings.key_file), nullptr),
              "the TLS files (" + (own_ca ? settings.ca_file : std::string(kSystemCertificates)) +
                  (settings.cert_file.empty() ? "" : ", " + settings.cert_file + ", " + settings.key_file) + ")");
    }
    check(mosquitto_will_set(m, will.topic.c_str(), static_cast<int>(will.payload.size()), will.payload.data(),
                             will.qos, will.retain),
          "the will on " + will.topic);
    check(mosquitto_reconnect_delay_set(m, kFirstRetrySeconds, kLongestRetrySeconds, true), "reconnection");
    mosquitto_connect_callback_set(m, on_connect);
    mosquitto_disconnect_callback_set(m, on_disconnect);
    mosquitto_publish_callback_set(m, on_publish);
    mosquitto_message_callback_set(m, on_message);
}

MqttClient::~MqttClient()
{
    if (started_ && !stopped_) {
        mosquitto_disconnect(mosq_.get());
        mosquitto_loop_stop(mosq_.get(), false);
    }
}

void MqttClient::start()
{
    const int rc = mosquitto_connect_async(mosq_.get(), settings_.host.c_str(), settings_.port, kKeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS)
        events_.lost(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
    // The network thread leaves the stop signals to the main thread.
    const SignalsBlocked blocked;
    check(mosquitto_loop_start(mosq_.get()), "the network thread");
    started_ = true;
}

int MqttClient::publish(const OutMessage &message)
{
    int mid = -1;
    const int rc = mosquitto_publish(mosq_.get(), &mid, message.topic.c_str(), static_cast<int>(message.payload.size()),
                                     message.payload.data(), message.qos, message.retain);
    return rc == MOSQ_ERR_SUCCESS ? mid : -1;
}

bool MqttClient::subscribe(const std::string &topic, int qos)
{
    return mosquitto_subscribe(mosq_.get(), nullptr, topic.c_str(), qos) == MOSQ_ERR_SUCCESS;
}

void MqttClient::stop(const OutMessage &last, std::chrono::milliseconds wait)
{
    if (!started_ || stopped_)
        return;
    stopped_ = true;
    const int mid = publish(last);
    if (mid >= 0) {
        constexpr std::chrono::milliseconds kPoll{5};
        for (auto left = wait; left.count() > 0 && last_delivered_.load() != mid; left -= kPoll)
            std::this_thread::sleep_for(kPoll);
    }
    mosquitto_disconnect(mosq_.get());
    mosquitto_loop_stop(mosq_.get(), false);
}

void MqttClient::on_connect(mosquitto *, void *self, int rc)
{
    auto *client = static_cast<MqttClient *>(self);
    if (rc == 0)
        client->events_.connected();
    else
        client->events_.lost(mosquitto_connack_string(rc));
}

void MqttClient::on_disconnect(mosquitto *, void *self, int rc)
{
    auto *client = static_cast<MqttClient *>(self);
    // 0: the goodbye of stop().
    if (rc != 0)
        client->events_.lost(rc == MOSQ_ERR_CONN_LOST ? "the connection was lost" : mosquitto_strerror(rc));
}

void MqttClient::on_publish(mosquitto *, void *self, int mid)
{
    auto *client = static_cast<MqttClient *>(self);
    client->last_delivered_.store(mid);
    client->events_.delivered(mid);
}

void MqttClient::on_message(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *client = static_cast<MqttClient *>(self);
    const auto *bytes = static_cast<const char *>(message->payload);
    client->events_.message(message->topic, std::string(bytes, bytes ? static_cast<size_t>(message->payloadlen) : 0));
}

} // namespace lep3tool::serve
