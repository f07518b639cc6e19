// SYS module commands: status, identity, temperatures, frame averaging, scene, shutter
// and gain. Each is one transaction in one of the three shapes.
#include <cstdint>

#include "control/control_internal.h"

using namespace lep3::control;

namespace {

constexpr uint32_t kMaxTelemetryEnableState = 1;
constexpr uint32_t kMaxFramesToAverage = 7;
constexpr int32_t kMaxShutterPosition = 3;
constexpr uint32_t kMaxGainMode = 2;

constexpr uint8_t kTemperatureWords = 1;
constexpr double kKelvinPerCentiKelvin = 0.01;
constexpr uint32_t kCentiPerUnit = 100;
constexpr double kKelvinAtZeroCelsius = 273.15;

// The core reports kelvin x 100 in one 16-bit word, low byte first. The whole kelvins and
// the hundredths are added separately in double precision, then rounded once to float.
int get_temperature_celsius(uint16_t command_id, float *out)
{
    if (out == nullptr)
        return kNullPointer;
    command_read_t reply;
    const int result = LEP3_GetCommand(command_id, kTemperatureWords, &reply);
    if (result != kOk)
        return result;
    const uint32_t centi_kelvin = static_cast<uint32_t>(reply.data[0]) | static_cast<uint32_t>(reply.data[1]) << 8;
    const uint32_t whole_kelvin = centi_kelvin / kCentiPerUnit;
    const uint32_t hundredths = centi_kelvin % kCentiPerUnit;
    const double kelvin = static_cast<double>(whole_kelvin) + static_cast<double>(hundredths) * kKelvinPerCentiKelvin;
    *out = static_cast<float>(kelvin - kKelvinAtZeroCelsius);
    return kOk;
}

} // namespace

extern "C" LEP3_API int LEP3_RunSysPing(void)
{
    return run(id::kSysPing);
}

extern "C" LEP3_API int LEP3_GetSysStatus(lep3_sys_status_t *out)
{
    return get_words<4>(id::kSysStatus, out);
}

extern "C" LEP3_API int LEP3_GetSysFlirSerialNumber(uint64_t *out)
{
    return get_words<4>(id::kSysSerialNumber, out);
}

extern "C" LEP3_API int LEP3_GetSysCameraUpTime(uint32_t *out)
{
    return get_words<2>(id::kSysCameraUpTime, out);
}

extern "C" LEP3_API int LEP3_GetSysAuxTemperatureCelcius(float *out)
{
    return get_temperature_celsius(id::kSysAuxTemperature, out);
}

extern "C" LEP3_API int LEP3_GetSysFpaTemperatureCelcius(float *out)
{
    return get_temperature_celsius(id::kSysFpaTemperature, out);
}

extern "C" LEP3_API int LEP3_GetSysTelemetryEnableState(uint32_t *out)
{
    return get_words<2>(id::kSysTelemetryEnableState, out);
}

extern "C" LEP3_API int LEP3_SetSysTelemetryEnableState(uint32_t value)
{
    return set_at_most(id::kSysTelemetryEnableState, value, kMaxTelemetryEnableState);
}

extern "C" LEP3_API int LEP_RunFrameAverage(void)
{
    return run(id::kSysFrameAverage);
}

extern "C" LEP3_API int LEP3_GetSysFramesToAverage(uint32_t *out)
{
    return get_words<2>(id::kSysFramesToAverage, out);
}

extern "C" LEP3_API int LEP_SetSysFramesToAverage(uint32_t value)
{
    return set_at_most(id::kSysFramesToAverage, value, kMaxFramesToAverage);
}

extern "C" LEP3_API int LEP3_GetSysSceneStatistics(lep3_stats_t *out)
{
    return get_words<4>(id::kSysSceneStatistics, out);
}

extern "C" LEP3_API int LEP3_GetSysSceneRoi(lep3_roi_t *out)
{
    return get_words<4>(id::kSysSceneRoi, out);
}

extern "C" LEP3_API int LEP3_SetSysSceneRoi(lep3_roi_t roi)
{
    return set_bytes(id::kSysSceneRoi, roi);
}

extern "C" LEP3_API int LEP3_GetSysThermalShutdownCount(uint16_t *out)
{
    return get_words<1>(id::kSysThermalShutdownCount, out);
}

extern "C" LEP3_API int LEP3_GetSysShutterPosition(int32_t *out)
{
    return get_words<2>(id::kSysShutterPosition, out);
}

// The check is signed: negative positions are sent.
extern "C" LEP3_API int LEP3_SetSysShutterPosition(int32_t value)
{
    return set_at_most(id::kSysShutterPosition, value, kMaxShutterPosition);
}

extern "C" LEP3_API int LEP3_GetSysFfcShutterModeObj(lep3_ffc_shutter_mode_t *out)
{
    return get_words<16>(id::kSysFfcShutterModeObj, out);
}

extern "C" LEP3_API int LEP3_GetSysFFCStatus(int32_t *out)
{
    return get_words<2>(id::kSysFfcStatus, out);
}

extern "C" LEP3_API int LEP3_GetSysGainMode(uint32_t *out)
{
    return get_words<2>(id::kSysGainMode, out);
}

extern "C" LEP3_API int LEP3_SetSysGainMode(uint32_t value)
{
    return set_at_most(id::kSysGainMode, value, kMaxGainMode);
}
