// What the service's MQTT output is told on the command line (and in the configuration
// file, by the same names): the broker's address, how to prove who it is to the broker,
// where it publishes, how often, and whether the broker may command the camera. The
// password never comes from the command line: from a file, or from LEP3_MQTT_PASSWORD.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "hostkit/args.h"

namespace lep3tool::serve {

inline constexpr OptionDef kMqttOptions[] = {
    {"mqtt", 0, "URL", "publish to the MQTT broker at mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883)"},
    {"mqtt-topic", 0, "PREFIX", "the topics' prefix (default lep3/SERIAL)"},
    {"mqtt-interval", 0, "S", "seconds between two measurements (default 1)"},
    {"mqtt-commands", 0, "", "take commands on PREFIX/cmd/ffc, PREFIX/cmd/set/NAME and PREFIX/cmd/regions"},
    {"mqtt-discovery", 0, "", "announce the camera's sensors for Home Assistant's MQTT discovery"},
    {"mqtt-ca", 0, "FILE", "mqtts: the certificate authorities to trust (default: the system's)"},
    {"mqtt-cert", 0, "FILE", "mqtts: the client's certificate (with --mqtt-key)"},
    {"mqtt-key", 0, "FILE", "mqtts: the client certificate's private key"},
    {"mqtt-user", 0, "NAME", "the user name to give the broker"},
    {"mqtt-password-file", 0, "FILE", "the password, the file's first line (else LEP3_MQTT_PASSWORD)"},
    {"mqtt-queue", 0, "N", "messages held while the broker is slow or away (default 256)"},
};

// The environment variable a password may come from.
inline constexpr const char *kMqttPasswordVariable = "LEP3_MQTT_PASSWORD";

struct MqttSettings {
    std::string host;
    int port = 1883;
    bool tls = false;
    std::string topic; // empty: lep3/SERIAL, once the serial number is known
    std::chrono::milliseconds interval{1000};
    bool commands = false;
    bool discovery = false;
    std::string ca_file;
    std::string cert_file;
    std::string key_file;
    std::string user;
    std::optional<std::string> password;
    size_t queue_limit = 256;

    // "mqtt://host:1883", for the log.
    std::string address() const;
};

// The settings of args, or nothing without --mqtt. Throws UsageError for a mistake (an
// option of the MQTT output without --mqtt among them), std::runtime_error when the
// password file can't be read.
std::optional<MqttSettings> parse_mqtt_settings(const ParsedArgs &args);

// The default prefix for a camera: lep3/SERIAL, or lep3/DEVICE (the device's file name)
// when the serial number could not be read; characters a topic level can't hold plainly
// become '_'.
std::string default_mqtt_topic(const std::string &serial, const std::string &device);

} // namespace lep3tool::serve
