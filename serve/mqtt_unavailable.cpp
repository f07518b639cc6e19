// The service's MQTT output in a build without libmosquitto: asking for it says so.
#include <stdexcept>

#include "serve/mqtt_output.h"

namespace lep3tool::serve {

std::unique_ptr<Output> make_mqtt_output(FrameHub &, const FeedInfo &, ThermoSetup &, const MqttSettings &,
                                         const std::string &, const ServiceLog &)
{
    throw std::runtime_error(
        "this lep3 was built without MQTT: install libmosquitto-dev, and build it again, to use --mqtt");
}

} // namespace lep3tool::serve
