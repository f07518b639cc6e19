// The firmware running in the bridge: its version and the request that restarts it into
// its bootloader.
#include <cstdio>

#include "link/console.h"
#include "link/link_internal.h"
#include "update/update_internal.h"

namespace {

constexpr uint16_t kGetFirmwareVersion = 0x0401;
constexpr uint16_t kRestartBridge = 0x0402;

} // namespace

extern "C" LEP3_API int LEP3_GetFirmwareVersion(uint32_t *version)
{
    if (version == nullptr)
        return -5;
    command_read_t reply{};
    const int result = LEP3_RunCommand(kGetFirmwareVersion, &reply);
    if (result != 0) {
        lep3::console::print("Send get firmware version error: %d!", result);
        return result;
    }
    // Low byte first.
    *version = reply.data[0] + 256u * reply.data[1];
    return 0;
}

namespace lep3::update {

bool bridge_accepts_restart()
{
    command_read_t reply{};
    return LEP3_RunCommand(kRestartBridge, &reply) == 0 && reply.data[0] == 0;
}

} // namespace lep3::update

extern "C" LEP3_API int LEP3_RebootSAMG55(void)
{
    // Once accepted, the bridge drops its application device: the link's descriptor is
    // closed at once.
    if (lep3::update::bridge_accepts_restart()) {
        lep3::link::release_port();
        return 0;
    }
    lep3::console::print("Reset SAMG55 failed!");
    return -2;
}
