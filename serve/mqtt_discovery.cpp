#include "serve/mqtt_discovery.h"

#include <nlohmann/json.hpp>

#include <cctype>

#include "serve/view_json.h"

namespace lep3tool::serve {

namespace {

// An entity's object id: letters, digits, '_' and '-' only.
std::string object_id(std::string text)
{
    for (char &c : text)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'))
            c = '_';
    return text;
}

struct Entity {
    std::string component; // sensor, binary_sensor
    std::string id;        // unique within the device
    std::string name;
    std::string value_template;
};

std::string config_payload(const DiscoveryDevice &device, const std::string &node, const Entity &e)
{
    nlohmann::json j = {
        {"name", e.name},
        {"unique_id", node + "_" + e.id},
        {"object_id", node + "_" + e.id},
        {"state_topic", device.topic + "/measurements"},
        {"value_template", e.value_template},
        {"availability_topic", device.topic + "/state"},
        {"payload_available", "online"},
        {"payload_not_available", "offline"},
        {"device",
         {{"identifiers", {node}},
          {"name", "lep3 " + device.serial},
          {"manufacturer", "lep3"},
          {"model", "160x120 thermal camera"},
          {"sw_version", device.firmware}}},
    };
    if (e.component == "sensor") {
        j["device_class"] = "temperature";
        j["state_class"] = "measurement";
        j["unit_of_measurement"] = "°C";
    } else {
        j["device_class"] = "problem";
        j["payload_on"] = "ON";
        j["payload_off"] = "OFF";
    }
    return json_text(j);
}

} // namespace

std::map<std::string, std::string> discovery_configs(const DiscoveryDevice &device,
                                                     const std::vector<lep3::thermo::NamedRegion> &regions,
                                                     const std::vector<AlarmState> &alarms)
{
    std::vector<Entity> entities = {
        {"sensor", "min", "Minimum", "{{ value_json.min_c }}"},
        {"sensor", "max", "Maximum", "{{ value_json.max_c }}"},
        {"sensor", "mean", "Mean", "{{ value_json.mean_c }}"},
        {"sensor", "centre", "Centre", "{{ value_json.centre_c }}"},
    };
    for (const auto &r : regions)
        entities.push_back({"sensor", "region_" + object_id(r.name) + "_max", r.name + " maximum",
                            "{{ value_json.regions['" + r.name + "'].max_c }}"});
    for (const AlarmState &a : alarms) {
        const std::string id = std::to_string(a.id);
        entities.push_back({"binary_sensor", "alarm_" + id, "Alarm " + a.rule,
                            "{{ 'ON' if (value_json.alarms | selectattr('id', 'eq', " + id +
                                ") | map(attribute='raised') | first) else 'OFF' }}"});
    }
    const std::string node = "lep3_" + object_id(device.serial);
    std::map<std::string, std::string> configs;
    for (const Entity &e : entities)
        configs[std::string(kDiscoveryPrefix) + "/" + e.component + "/" + node + "/" + e.id + "/config"] =
            config_payload(device, node, e);
    return configs;
}

std::vector<OutMessage> discovery_changes(std::map<std::string, std::string> &announced,
                                          const std::map<std::string, std::string> &configs)
{
    std::vector<OutMessage> messages;
    for (const auto &[topic, payload] : announced)
        if (!configs.contains(topic))
            messages.push_back({MessageKind::discovery, topic, "", 1, true});
    for (const auto &[topic, payload] : configs) {
        const auto before = announced.find(topic);
        if (before == announced.end() || before->second != payload)
            messages.push_back({MessageKind::discovery, topic, payload, 1, true});
    }
    announced = configs;
    return messages;
}

} // namespace lep3tool::serve
