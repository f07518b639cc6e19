#include "serve/mqtt_settings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string_view>

namespace lep3tool::serve {

namespace {

constexpr int kMqttPort = 1883;
constexpr int kMqttsPort = 8883;
constexpr double kLongestInterval = 3600;
constexpr int64_t kLargestQueue = 100000;
constexpr size_t kLongestTopic = 200;

struct Scheme {
    std::string_view prefix;
    bool tls;
    int port;
};
constexpr Scheme kSchemes[] = {{"mqtt://", false, kMqttPort}, {"mqtts://", true, kMqttsPort}};

// HOST[:PORT] or [V6]:PORT after the scheme, with nothing after it but an optional '/'.
void parse_authority(std::string_view rest, const std::string &url, MqttSettings &s)
{
    if (!rest.empty() && rest.back() == '/')
        rest.remove_suffix(1);
    if (rest.find('@') != std::string_view::npos)
        throw UsageError("--mqtt takes no user or password in its URL: give --mqtt-user, and the password in "
                         "--mqtt-password-file or " +
                         std::string(kMqttPasswordVariable));
    std::string_view port;
    if (rest.starts_with('[')) {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos)
            throw UsageError("--mqtt: no ']' after the IPv6 address in " + url);
        s.host = std::string(rest.substr(1, close - 1));
        rest.remove_prefix(close + 1);
        if (!rest.empty() && !rest.starts_with(':'))
            throw UsageError("--mqtt: '" + url + "' is no mqtt://HOST[:PORT]");
        port = rest.empty() ? std::string_view() : rest.substr(1);
    } else {
        const size_t colon = rest.find(':');
        s.host = std::string(rest.substr(0, colon));
        if (colon != std::string_view::npos)
            port = rest.substr(colon + 1);
    }
    if (s.host.empty() || s.host.find_first_of("/?#") != std::string::npos)
        throw UsageError("--mqtt: '" + url + "' is no mqtt://HOST[:PORT]");
    if (!port.empty() || rest.ends_with(':'))
        s.port = static_cast<int>(parse_integer(port, "the --mqtt port", 1, 65535));
}

void check_topic(const std::string &topic)
{
    if (topic.empty() || topic.size() > kLongestTopic || topic.front() == '/' || topic.back() == '/' ||
        topic.find_first_of("+#") != std::string::npos ||
        std::any_of(topic.begin(), topic.end(), [](char c) { return c < ' ' || c == 0x7f; }))
        throw UsageError("--mqtt-topic takes a topic such as plant/kiln3: no '+', '#' or control characters, "
                         "and no '/' at either end");
}

std::string first_line_of(const std::string &path)
{
    std::ifstream file(path);
    if (!file)
        throw std::runtime_error("cannot read the MQTT password file " + path + ": " + std::strerror(errno));
    std::string line;
    std::getline(file, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

} // namespace

std::string MqttSettings::address() const
{
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return std::string(tls ? "mqtts://" : "mqtt://") + shown + ":" + std::to_string(port);
}

std::optional<MqttSettings> parse_mqtt_settings(const ParsedArgs &args)
{
    const auto url = args.value("mqtt");
    if (!url) {
        for (const OptionDef &o : kMqttOptions)
            if (args.has(o.name))
                throw UsageError("--" + std::string(o.name) + " needs --mqtt URL");
        return std::nullopt;
    }
    MqttSettings s;
    const Scheme *scheme = nullptr;
    for (const Scheme &candidate : kSchemes)
        if (std::string_view(*url).starts_with(candidate.prefix))
            scheme = &candidate;
    if (scheme == nullptr)
        throw UsageError("--mqtt takes mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not '" + *url + "'");
    s.tls = scheme->tls;
    s.port = scheme->port;
    parse_authority(std::string_view(*url).substr(scheme->prefix.size()), *url, s);

    if (const auto topic = args.value("mqtt-topic")) {
        check_topic(*topic);
        s.topic = *topic;
    }
    if (const auto interval = args.value("mqtt-interval")) {
        const double seconds = parse_number(*interval, "--mqtt-interval");
        if (!(seconds >= 0.01 && seconds <= kLongestInterval))
            throw UsageError("--mqtt-interval is in seconds, from 0.01 to an hour");
        s.interval = std::chrono::milliseconds(std::llround(seconds * 1000));
    }
    if (const auto queue = args.value("mqtt-queue"))
        s.queue_limit = static_cast<size_t>(parse_integer(*queue, "--mqtt-queue", 1, kLargestQueue));
    s.commands = args.has("mqtt-commands");
    s.discovery = args.has("mqtt-discovery");

    s.ca_file = args.value("mqtt-ca").value_or("");
    s.cert_file = args.value("mqtt-cert").value_or("");
    s.key_file = args.value("mqtt-key").value_or("");
    if (!s.tls && (!s.ca_file.empty() || !s.cert_file.empty() || !s.key_file.empty()))
        throw UsageError("--mqtt-ca, --mqtt-cert and --mqtt-key are for an mqtts:// broker");
    if (s.cert_file.empty() != s.key_file.empty())
        throw UsageError("--mqtt-cert and --mqtt-key go together");

    s.user = args.value("mqtt-user").value_or("");
    if (const auto file = args.value("mqtt-password-file"))
        s.password = first_line_of(*file);
    else if (const char *password = std::getenv(kMqttPasswordVariable))
        s.password = password;
    if (s.password && s.user.empty())
        throw UsageError("a password for the MQTT broker needs --mqtt-user");
    return s;
}

std::string default_mqtt_topic(const std::string &serial, const std::string &device)
{
    std::string level = serial;
    if (level.empty() || level == "unavailable") {
        const size_t slash = device.find_last_of('/');
        level = slash == std::string::npos ? device : device.substr(slash + 1);
    }
    if (level.empty())
        level = "camera";
    for (char &c : level)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.'))
            c = '_';
    return "lep3/" + level;
}

} // namespace lep3tool::serve
