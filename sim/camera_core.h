// The camera core behind the bridge, as far as the host can see it: a map of registers
// keyed by command ID, with the core's power-on values, and the two flat-field
// corrections that read busy for a few status polls after they are started.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <span>
#include <vector>

#include "sim/bridge_sim.h"

namespace lep3::sim {

// Command IDs the emulated bridge and core give a meaning to.
namespace cmd {
inline constexpr uint16_t kAgcEnable = 0x0100;
inline constexpr uint16_t kAgcRoi = 0x0108;
inline constexpr uint16_t kAgcHistogram = 0x010C;
inline constexpr uint16_t kAgcCalcEnable = 0x0148;
inline constexpr uint16_t kAgcHeqLinearPercent = 0x014C;
inline constexpr uint16_t kSysStatus = 0x0204;
inline constexpr uint16_t kSysSerialNumber = 0x0208;
inline constexpr uint16_t kSysUpTime = 0x020C;
inline constexpr uint16_t kSysAuxTemperature = 0x0210;
inline constexpr uint16_t kSysFpaTemperature = 0x0214;
inline constexpr uint16_t kSysTelemetryEnable = 0x0218;
inline constexpr uint16_t kSysFramesToAverage = 0x0224;
inline constexpr uint16_t kSysSceneStatistics = 0x022C;
inline constexpr uint16_t kSysSceneRoi = 0x0230;
inline constexpr uint16_t kSysThermalShutdownCount = 0x0234;
inline constexpr uint16_t kSysShutterPosition = 0x0238;
inline constexpr uint16_t kSysFfcShutterMode = 0x023C;
inline constexpr uint16_t kSysRunFfc = 0x0242;
inline constexpr uint16_t kSysFfcStatus = 0x0244;
inline constexpr uint16_t kSysGainMode = 0x0248;
inline constexpr uint16_t kVidPcolorLut = 0x0304;
inline constexpr uint16_t kVidFreezeEnable = 0x0324;
inline constexpr uint16_t kVidOutputFormat = 0x0330;
inline constexpr uint16_t kOemOutputFormat = 0x4828;
inline constexpr uint16_t kOemUserDefaults = 0x485C;
inline constexpr uint16_t kRadRbfoInternal = 0x4E00;
inline constexpr uint16_t kRadRbfoExternal = 0x4E04;
inline constexpr uint16_t kRadEnable = 0x4E10;
inline constexpr uint16_t kRadRunFfc = 0x4E2C;
inline constexpr uint16_t kRadRunStatus = 0x4E30;
// The bridge's own commands.
inline constexpr uint16_t kBridgeVersion = 0x0401;
inline constexpr uint16_t kBridgeRestart = 0x0402;
inline constexpr uint16_t kBridgeUserRbfo = 0x0403;
inline constexpr uint16_t kResetNotice = 0x0404;
} // namespace cmd

// Values the power-on map holds that tests and demos may want to name.
inline constexpr uint16_t kPowerOnAuxKelvin100 = 30015;
inline constexpr uint16_t kPowerOnFpaKelvin100 = 30042;
inline constexpr uint32_t kPowerOnFfcPeriodMs = 300000;
inline constexpr uint32_t kRbfoR = 878900, kRbfoB = 1428, kRbfoF = 1, kRbfoO = 1000;

// Little-endian images of register words, as the core delivers them.
std::vector<uint8_t> words32(std::initializer_list<uint32_t> words);
std::vector<uint8_t> words16(std::initializer_list<uint16_t> words);

class CameraCore {
  public:
    CameraCore();

    // Puts every core register back to its power-on value and restarts the up-time; the
    // bridge's own registers (0x04xx) keep their values.
    void power_on();

    // Reply data of a get for `bytes` bytes: the register padded with zeros or cut short.
    // The counted knob not_ready_reads is used up here.
    std::vector<uint8_t> get(uint16_t id, size_t bytes, Faults &faults);
    void set(uint16_t id, std::span<const uint8_t> payload) { regs_[id].assign(payload.begin(), payload.end()); }
    // Starts the action of a run request: the flat-field corrections turn busy for
    // faults.ffc_busy_polls status reads.
    void run(uint16_t id, const Faults &faults);

    std::vector<uint8_t> reg(uint16_t id) const;
    void set_reg(uint16_t id, std::vector<uint8_t> bytes) { regs_[id] = std::move(bytes); }

  private:
    std::map<uint16_t, std::vector<uint8_t>> regs_;
    std::chrono::steady_clock::time_point powered_on_;
    int ffc_busy_ = 0;
    int rad_ffc_busy_ = 0;
};

} // namespace lep3::sim
