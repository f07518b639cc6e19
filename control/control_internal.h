// Declarations shared by the camera command files: the three shapes every plain command
// takes (getter, setter, runner), so each exported command is one line naming its ID.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lep3.h"
#include "link/link_internal.h"

namespace lep3::control {

inline constexpr int kOk = 0;
inline constexpr int kTimeout = -2;
inline constexpr int kOutOfRange = -3;
inline constexpr int kNullPointer = -5;

// Command IDs: the camera core's (AGC 0x01xx, SYS 0x02xx, VID 0x03xx, OEM 0x48xx,
// RAD 0x4Exx) and the bridge's own user RBFO set.
namespace id {
inline constexpr uint16_t kAgcEnableState = 0x0100;
inline constexpr uint16_t kAgcRoi = 0x0108;
inline constexpr uint16_t kAgcHistogramStatistics = 0x010C;
inline constexpr uint16_t kAgcCalcEnableState = 0x0148;
inline constexpr uint16_t kAgcHeqLinearPercent = 0x014C;
inline constexpr uint16_t kSysPing = 0x0200;
inline constexpr uint16_t kSysStatus = 0x0204;
inline constexpr uint16_t kSysSerialNumber = 0x0208;
inline constexpr uint16_t kSysCameraUpTime = 0x020C;
inline constexpr uint16_t kSysAuxTemperature = 0x0210;
inline constexpr uint16_t kSysFpaTemperature = 0x0214;
inline constexpr uint16_t kSysTelemetryEnableState = 0x0218;
inline constexpr uint16_t kSysFrameAverage = 0x0220;
inline constexpr uint16_t kSysFramesToAverage = 0x0224;
inline constexpr uint16_t kSysSceneStatistics = 0x022C;
inline constexpr uint16_t kSysSceneRoi = 0x0230;
inline constexpr uint16_t kSysThermalShutdownCount = 0x0234;
inline constexpr uint16_t kSysShutterPosition = 0x0238;
inline constexpr uint16_t kSysFfcShutterModeObj = 0x023C;
inline constexpr uint16_t kSysFfcNormalization = 0x0242;
inline constexpr uint16_t kSysFfcStatus = 0x0244;
inline constexpr uint16_t kSysGainMode = 0x0248;
inline constexpr uint16_t kVidPcolorLut = 0x0304;
inline constexpr uint16_t kVidFreezeEnableState = 0x0324;
inline constexpr uint16_t kVidVideoOutputFormat = 0x0330;
inline constexpr uint16_t kOemVideoOutputFormat = 0x4828;
inline constexpr uint16_t kOemUserDefaults = 0x485C;
inline constexpr uint16_t kRadRbfoInternal0 = 0x4E00;
inline constexpr uint16_t kRadRbfoExternal0 = 0x4E04;
inline constexpr uint16_t kRadEnableState = 0x4E10;
inline constexpr uint16_t kRadFfc = 0x4E2C;
inline constexpr uint16_t kRadRunStatus = 0x4E30;
inline constexpr uint16_t kUserRbfo = 0x0403;
} // namespace id

// The fixed RBFO constants B and F of T = B / ln(R / (S - O) + F), and 0 C in kelvin.
inline constexpr double kRadiometricB = 1428.0;
inline constexpr float kRadiometricF = 1.0F;
inline constexpr double kZeroCelsiusInKelvin = 273.15;

// The calibration LEP3_GetCalibration reports (control/calibration.cpp). The session
// forgets it whenever it brings a link up (open, reconnect, after an update), so the next
// call reads it from the camera; a set the camera accepted replaces it.
void forget_calibration();
void note_calibration_set(uint32_t r, uint32_t o);

// Status value of the FFC and RAD FFC status getters while the core is still working.
inline constexpr int32_t kBusy = 1;

// Getter: one get request for `words` 16-bit words, whose 2 * words data bytes are copied
// as they arrived into *out. A null out sends nothing; on failure *out is untouched.
template <uint8_t words, typename T> int get_words(uint16_t command_id, T *out)
{
    constexpr size_t kBytes = size_t{2} * words;
    static_assert(sizeof(T) == kBytes, "the caller's type holds exactly the reply's data bytes");
    if (out == nullptr)
        return kNullPointer;
    command_read_t reply;
    const int result = LEP3_GetCommand(command_id, words, &reply);
    if (result != kOk)
        return result;
    std::memcpy(out, reply.data, kBytes);
    return kOk;
}

// Setter: the value's bytes in memory order as the payload; the reply is not kept.
template <typename T> int set_bytes(uint16_t command_id, const T &value)
{
    command_read_t reply;
    return LEP3_SetCommand(command_id, &value, sizeof(T), &reply);
}

// Setter of one 32-bit value that the camera accepts only up to `max`; a larger value
// is refused without sending.
template <typename T> int set_at_most(uint16_t command_id, T value, T max)
{
    if (value > max)
        return kOutOfRange;
    return set_bytes(command_id, value);
}

// The four RBFO words travel as one 16-byte payload in argument order.
inline int set_rbfo(uint16_t command_id, uint32_t r, uint32_t b, uint32_t f, uint32_t o)
{
    const lep3_rbfo_t rbfo{r, b, f, o};
    return set_bytes(command_id, rbfo);
}

// Runner: one run request; the reply is not kept.
inline int run(uint16_t command_id)
{
    command_read_t reply;
    return LEP3_RunCommand(command_id, &reply);
}

} // namespace lep3::control
