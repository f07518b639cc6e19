#include "sim/camera_core.h"

#include <algorithm>
#include <initializer_list>

namespace lep3::sim {

namespace {

constexpr uint32_t kReady = 0;
constexpr uint32_t kBusy = 1;
constexpr uint32_t kNotReady = 2; // "booting" in the status word
constexpr uint16_t kBridgeFirst = 0x0400, kBridgeLast = 0x04FF;

// The user RBFO set the bridge holds when it leaves the factory; distinct from the
// core's own sets so that a mix-up shows.
constexpr uint32_t kUserR = 881200, kUserB = 1430, kUserF = 1, kUserO = 1024;

} // namespace

std::vector<uint8_t> words32(std::initializer_list<uint32_t> words)
{
    std::vector<uint8_t> out;
    for (uint32_t w : words)
        for (int b = 0; b < 4; ++b)
            out.push_back(static_cast<uint8_t>(w >> (8 * b)));
    return out;
}

std::vector<uint8_t> words16(std::initializer_list<uint16_t> words)
{
    std::vector<uint8_t> out;
    for (uint16_t w : words) {
        out.push_back(static_cast<uint8_t>(w));
        out.push_back(static_cast<uint8_t>(w >> 8));
    }
    return out;
}

CameraCore::CameraCore()
{
    power_on();
    regs_[cmd::kBridgeUserRbfo] = words32({kUserR, kUserB, kUserF, kUserO});
}

void CameraCore::power_on()
{
    std::erase_if(regs_, [](const auto &entry) { return entry.first < kBridgeFirst || entry.first > kBridgeLast; });
    powered_on_ = std::chrono::steady_clock::now();
    ffc_busy_ = rad_ffc_busy_ = 0;

    regs_[cmd::kSysStatus] = words32({kReady, 0});
    regs_[cmd::kSysSerialNumber] = words32({0x0041F3C9, 0x00000000});
    regs_[cmd::kSysAuxTemperature] = words16({kPowerOnAuxKelvin100});
    regs_[cmd::kSysFpaTemperature] = words16({kPowerOnFpaKelvin100});
    regs_[cmd::kSysTelemetryEnable] = words32({0});
    regs_[cmd::kSysFramesToAverage] = words32({3});
    regs_[cmd::kSysSceneStatistics] = words16({8013, 7710, 9498, 19200});
    regs_[cmd::kSysSceneRoi] = words16({0, 0, 119, 159});
    regs_[cmd::kSysThermalShutdownCount] = words16({270});
    regs_[cmd::kSysShutterPosition] = words32({1});
    // Manual FFC at power-on; the host's start-up sequence switches it to automatic.
    regs_[cmd::kSysFfcShutterMode] = words32({0, 0, 1, 0, 1, kPowerOnFfcPeriodMs, 52, 150});
    regs_[cmd::kSysFfcStatus] = words32({kReady});
    regs_[cmd::kSysGainMode] = words32({0});
    regs_[cmd::kAgcEnable] = words32({0});
    regs_[cmd::kAgcRoi] = words16({0, 0, 119, 159});
    regs_[cmd::kAgcHistogram] = words16({7702, 9512, 8013, 19200});
    regs_[cmd::kAgcCalcEnable] = words32({0});
    regs_[cmd::kAgcHeqLinearPercent] = words16({30});
    regs_[cmd::kVidPcolorLut] = words32({1});
    regs_[cmd::kVidFreezeEnable] = words32({0});
    regs_[cmd::kVidOutputFormat] = words32({7});
    regs_[cmd::kOemOutputFormat] = words32({7});
    regs_[cmd::kOemUserDefaults] = words32({0});
    regs_[cmd::kRadRbfoInternal] = words32({kRbfoR, kRbfoB, kRbfoF, kRbfoO});
    regs_[cmd::kRadRbfoExternal] = words32({kRbfoR + 2100, kRbfoB, kRbfoF, kRbfoO + 8});
    regs_[cmd::kRadEnable] = words32({1});
    regs_[cmd::kRadRunStatus] = words32({kReady});
}

std::vector<uint8_t> CameraCore::get(uint16_t id, size_t bytes, Faults &faults)
{
    std::vector<uint8_t> value;
    if (id == cmd::kSysUpTime) {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - powered_on_);
        value = words32({static_cast<uint32_t>(ms.count())});
    } else if (id == cmd::kSysFfcStatus && ffc_busy_ > 0) {
        --ffc_busy_;
        value = words32({kBusy});
    } else if (id == cmd::kRadRunStatus && rad_ffc_busy_ > 0) {
        --rad_ffc_busy_;
        value = words32({kBusy});
    } else if (id == cmd::kSysStatus && faults.not_ready_reads > 0) {
        --faults.not_ready_reads;
        value = reg(id);
        const auto state = words32({kNotReady});
        value.resize(std::max(value.size(), state.size()), 0);
        std::copy(state.begin(), state.end(), value.begin());
    } else {
        value = reg(id);
    }
    value.resize(bytes, 0);
    return value;
}

void CameraCore::run(uint16_t id, const Faults &faults)
{
    if (id == cmd::kSysRunFfc)
        ffc_busy_ = faults.ffc_busy_polls;
    else if (id == cmd::kRadRunFfc)
        rad_ffc_busy_ = faults.ffc_busy_polls;
}

std::vector<uint8_t> CameraCore::reg(uint16_t id) const
{
    const auto it = regs_.find(id);
    if (it == regs_.end())
        return {};
    return it->second;
}

} // namespace lep3::sim
