// Commands that are more than one plain transaction: the two setters with payload sizes of
// their own, the two flat-field corrections that wait for the camera core to finish, and
// frame averaging, which sets its count and then runs.
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "control/control_internal.h"
#include "link/console.h"

using namespace lep3::control;

namespace {

// After a flat-field correction starts, its status is polled at most this often, with
// a pause after every successful poll (also the one that ends the wait).
constexpr int kStatusPolls = 6;
constexpr useconds_t kStatusPollPauseUs = 100000;

// The HEQ linear percent travels as its low 16 bits, low byte first.
constexpr uint32_t kHeqByteMask = 0xFF;
constexpr int kBitsPerByte = 8;

// Runs the action, then polls its status until the core stops reporting busy. A failed
// run is returned before any poll; a failed poll prints poll_error with its result.
int run_and_wait(uint16_t run_id, int (*status_getter)(int32_t *), const char *poll_error, const char *timeout)
{
    const int started = run(run_id);
    if (started != kOk)
        return started;
    for (int poll = 0; poll < kStatusPolls; ++poll) {
        int32_t status = 0;
        const int result = status_getter(&status);
        if (result < kOk) {
            lep3::console::print(poll_error, result);
            return result;
        }
        usleep(kStatusPollPauseUs);
        // Any state but busy ends the wait; what the state was is not reported.
        if (status != kBusy)
            return result;
    }
    lep3::console::put_line(timeout);
    return lep3::control::kTimeout;
}

} // namespace

extern "C" LEP3_API int LEP3_SetAgcHeqLinearPercent(uint32_t value)
{
    const uint8_t payload[] = {static_cast<uint8_t>(value & kHeqByteMask),
                               static_cast<uint8_t>((value >> kBitsPerByte) & kHeqByteMask)};
    return LEP3_SetCommand(id::kAgcHeqLinearPercent, payload, sizeof(payload), nullptr);
}

extern "C" LEP3_API int LEP3_SetSysFfcShutterModeObj(lep3_ffc_shutter_mode_t obj)
{
    return LEP3_SetCommand(id::kSysFfcShutterModeObj, &obj, sizeof(obj), nullptr);
}

extern "C" LEP3_API int LEP3_RunSysFFCNormalization(void)
{
    return run_and_wait(id::kSysFfcNormalization, LEP3_GetSysFFCStatus, "LEP3_GetSysFFCStatus: reply error:%d\n",
                        "LEP_RunSysFFCNormalization: reply timeout");
}

extern "C" LEP3_API int LEP3_RunRadFFC(void)
{
    return run_and_wait(id::kRadFfc, LEP3_GetRadRunStatus, "LEP3_GetRadRunStatus: reply error:%d\n",
                        "LEP_RunRadFFC: reply timeout");
}

extern "C" LEP3_API int LEP_RunSysAverageFrames(uint32_t count)
{
    const int set = LEP_SetSysFramesToAverage(count);
    if (set != kOk)
        return set;
    return LEP_RunFrameAverage();
}
