// VID and OEM module commands: pseudo-colour table, freeze, video output formats and the
// OEM user defaults.
#include <cstdint>

#include "control/control_internal.h"

using namespace lep3::control;

namespace {

constexpr uint32_t kMaxPcolorLut = 8;
constexpr uint32_t kMaxFreezeEnableState = 1;
constexpr uint32_t kMaxVideoOutputFormat = 14;

} // namespace

extern "C" LEP3_API int LEP3_GetVidPcolorLut(uint32_t *out)
{
    return get_words<2>(id::kVidPcolorLut, out);
}

extern "C" LEP3_API int LEP3_SetVidPcolorLut(uint32_t value)
{
    return set_at_most(id::kVidPcolorLut, value, kMaxPcolorLut);
}

extern "C" LEP3_API int LEP3_GetVidFreezeEnableState(uint32_t *out)
{
    return get_words<2>(id::kVidFreezeEnableState, out);
}

extern "C" LEP3_API int LEP3_SetVidFreezeEnableState(uint32_t value)
{
    return set_at_most(id::kVidFreezeEnableState, value, kMaxFreezeEnableState);
}

extern "C" LEP3_API int LEP3_GetVidVideoOutputFormat(uint32_t *out)
{
    return get_words<2>(id::kVidVideoOutputFormat, out);
}

extern "C" LEP3_API int LEP3_SetVidVideoOutputFormat(uint32_t value)
{
    return set_at_most(id::kVidVideoOutputFormat, value, kMaxVideoOutputFormat);
}

extern "C" LEP3_API int LEP3_GetOemVideoOutputFormat(uint32_t *out)
{
    return get_words<2>(id::kOemVideoOutputFormat, out);
}

extern "C" LEP3_API int LEP3_SetOemVideoOutputFormat(uint32_t value)
{
    return set_at_most(id::kOemVideoOutputFormat, value, kMaxVideoOutputFormat);
}

extern "C" LEP3_API int LEP3_GetOemUserDefaultsState(uint32_t *out)
{
    return get_words<2>(id::kOemUserDefaults, out);
}

// Copy-to-OTP and restore are the same run request of the user-defaults command.
extern "C" LEP3_API int LEP3_RunOemUserDefaultsCopyToOtp(void)
{
    return run(id::kOemUserDefaults);
}

extern "C" LEP3_API int LEP3_RunOemUserDefaultsRestore(void)
{
    return run(id::kOemUserDefaults);
}
