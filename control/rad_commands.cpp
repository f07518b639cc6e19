// RAD module commands (RBFO sets, radiometry enable, run status) and the bridge's own
// user RBFO set, which the firmware update carries across a reflash.
#include <cstdint>

#include "control/control_internal.h"

using namespace lep3::control;

extern "C" LEP3_API int LEP3_GetRadRBFOInternal0(lep3_rbfo_t *out)
{
    return get_words<8>(id::kRadRbfoInternal0, out);
}

// The set the camera accepted is the calibration from now on (LEP3_GetCalibration).
extern "C" LEP3_API int LEP3_SetRadRBFOInternal0(uint32_t r, uint32_t b, uint32_t f, uint32_t o)
{
    const int result = set_rbfo(id::kRadRbfoInternal0, r, b, f, o);
    if (result == kOk)
        note_calibration_set(r, o);
    return result;
}

extern "C" LEP3_API int LEP3_GetRadRBFOExternal0(lep3_rbfo_t *out)
{
    return get_words<8>(id::kRadRbfoExternal0, out);
}

extern "C" LEP3_API int LEP3_SetRadRBFOExternal0(uint32_t r, uint32_t b, uint32_t f, uint32_t o)
{
    return set_rbfo(id::kRadRbfoExternal0, r, b, f, o);
}

extern "C" LEP3_API int LEP3_GetRadEnableState(uint32_t *out)
{
    return get_words<2>(id::kRadEnableState, out);
}

// Sent unchecked: the core decides what it accepts.
extern "C" LEP3_API int LEP3_SetRadEnableState(uint32_t value)
{
    return set_bytes(id::kRadEnableState, value);
}

extern "C" LEP3_API int LEP3_GetRadRunStatus(int32_t *out)
{
    return get_words<2>(id::kRadRunStatus, out);
}

extern "C" LEP3_API int LEP3_GetUserRBFO(lep3_rbfo_t *out)
{
    return get_words<8>(id::kUserRbfo, out);
}

extern "C" LEP3_API int LEP3_SetUserRBFO(uint32_t r, uint32_t b, uint32_t f, uint32_t o)
{
    return set_rbfo(id::kUserRbfo, r, b, f, o);
}
