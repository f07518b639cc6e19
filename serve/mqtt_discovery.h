// Home Assistant's MQTT discovery: one retained configuration message per entity under
// homeassistant/, so the camera appears as a device with its temperature sensors (the
// frame's minimum, maximum, mean and centre, each region's maximum) and a binary sensor
// per alarm, all read from the measurements topic and available while the state topic
// says online. An entity that goes (a region or alarm deleted) is removed by an empty
// retained message on its topic.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "serve/mqtt_queue.h"
#include "serve/thermo_setup.h"

namespace lep3tool::serve {

inline constexpr const char *kDiscoveryPrefix = "homeassistant";

struct DiscoveryDevice {
    std::string topic;  // the output's prefix
    std::string serial; // the camera's, for the device's identity
    std::string firmware;
};

// Every entity's configuration topic and payload for this set of regions and alarms.
std::map<std::string, std::string> discovery_configs(const DiscoveryDevice &device,
                                                     const std::vector<lep3::thermo::NamedRegion> &regions,
                                                     const std::vector<AlarmState> &alarms);

// The messages that take Home Assistant from the entities announced before to these:
// new or changed ones announced, gone ones removed. Announced becomes the new set.
std::vector<OutMessage> discovery_changes(std::map<std::string, std::string> &announced,
                                          const std::map<std::string, std::string> &configs);

} // namespace lep3tool::serve
