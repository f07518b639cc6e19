// What the camera core sees: the synthetic scene, or a recording's frames with the
// registers (FPA temperature, RBFO set, serial number) the camera had while recording.
#include <algorithm>
#include <cmath>

#include "sim/bridge_sim_internal.h"

namespace lep3::sim {

bool BridgeSim::Impl::take_frame(uint32_t seq, Clock::time_point due)
{
    if (!replay) {
        BridgeSim::raw_frame(seq, pixels.data());
        return true;
    }
    const bool more = replay->next(pixels.data());
    std::lock_guard lk(mu);
    if (!more) {
        streaming = false;
        if (!replay->error().empty())
            (void)std::fprintf(stderr, "bridge emulator: %s; the replay stops\n", replay->error().c_str());
        else
            say("the recording has ended after %llu frames\n", static_cast<unsigned long long>(replay->frames()));
        return false;
    }
    if (!opts.replay_at_fps)
        next_frame = std::max(due + std::chrono::duration_cast<Clock::duration>(replay->interval()), Clock::now());
    const recording::PageInfo &page = replay->page();
    constexpr double kZeroCelsiusInKelvin = 273.15;
    if (page.fpa_celsius)
        core.set_reg(cmd::kSysFpaTemperature,
                     words16({static_cast<uint16_t>(
                         std::lround((static_cast<double>(*page.fpa_celsius) + kZeroCelsiusInKelvin) * 100))}));
    if (page.rbfo)
        core.set_reg(page.rbfo_set == "external" ? cmd::kRadRbfoExternal : cmd::kRadRbfoInternal,
                     words32({page.rbfo->r, page.rbfo->b, page.rbfo->f, page.rbfo->o}));
    if (const auto serial = replay->file().serial_number)
        core.set_reg(cmd::kSysSerialNumber,
                     words32({static_cast<uint32_t>(*serial), static_cast<uint32_t>(*serial >> 32)}));
    return true;
}

std::string BridgeSim::Impl::pace_text() const
{
    char fps[32];
    (void)std::snprintf(fps, sizeof fps, "at %g fps", opts.fps);
    if (opts.replay.empty())
        return fps;
    return "of " + opts.replay + (opts.replay_at_fps ? std::string(" ") + fps : " at the recorded pace") +
           (opts.replay_loop ? ", in a loop" : "");
}

} // namespace lep3::sim
