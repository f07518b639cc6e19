// Start-up camera parameters: wait until the camera core is ready, switch radiometry on
// when asked, and put flat-field correction into automatic mode with a fixed period.
// The parser runs the same sequence on a detached thread after every camera-reset
// notice, so a core that resets itself comes back in the working configuration.
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "control/control_internal.h"
#include "link/console.h"

namespace {

constexpr int kFailed = -1;

// Each step retries its call a fixed number of times and sleeps after every failed
// attempt, the last one included.
struct Retry {
    int attempts;
    useconds_t pause_us;
};
constexpr Retry kReadyRetry{6, 500000};
constexpr Retry kStepRetry{4, 10000};

constexpr uint32_t kCameraReady = 0;
constexpr int32_t kRadiometryMode = 1; // the only mode that switches radiometry on
constexpr uint32_t kRadiometryOn = 1;

// Words of the FFC shutter-mode object that the sequence changes.
constexpr size_t kShutterModeWord = 0;
constexpr uint32_t kShutterModeAuto = 1;
constexpr size_t kFfcPeriodWord = 5;
constexpr uint32_t kFfcPeriodMs = 180000;

template <typename Attempt> bool retry(const Retry &retry, Attempt attempt)
{
    for (int i = 0; i < retry.attempts; ++i) {
        if (attempt())
            return true;
        usleep(retry.pause_us);
    }
    return false;
}

} // namespace

extern "C" LEP3_API int LEP3_SetInitParameter(int32_t mode)
{
    lep3_sys_status_t status{};
    if (!retry(kReadyRetry, [&] {
            return LEP3_GetSysStatus(&status) == lep3::control::kOk && status.camera_status == kCameraReady;
        })) {
        lep3::console::put_line("ERROR:lepton3 is not ready!");
        return kFailed;
    }

    if (mode == kRadiometryMode &&
        !retry(kStepRetry, [] { return LEP3_SetRadEnableState(kRadiometryOn) == lep3::control::kOk; })) {
        lep3::console::write_error("Called LEP3_SetRadEnableState failed.\n");
        return kFailed;
    }

    lep3_ffc_shutter_mode_t shutter{};
    if (!retry(kStepRetry, [&] { return LEP3_GetSysFfcShutterModeObj(&shutter) == lep3::control::kOk; })) {
        lep3::console::put_line("LEP3_GetSysFfcShutterModeObj failed!");
        return kFailed;
    }

    // Only these two words change; the other six go back as the core reported them.
    shutter.word[kShutterModeWord] = kShutterModeAuto;
    shutter.word[kFfcPeriodWord] = kFfcPeriodMs;

    if (!retry(kStepRetry, [&] { return LEP3_SetSysFfcShutterModeObj(shutter) == lep3::control::kOk; })) {
        lep3::console::put_line("LEP3_SetSysFfcShutterModeObj failed!");
        return kFailed;
    }

    lep3::console::put_line("Init Lepton3 parameter OK.");
    return lep3::control::kOk;
}

extern "C" LEP3_API void *LEP3_Daemon_Thr(void * /*arg*/)
{
    LEP3_SetInitParameter(kRadiometryMode);
    return nullptr;
}
