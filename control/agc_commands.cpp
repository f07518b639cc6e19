// AGC module commands: enable state, region of interest, histogram statistics, the
// calculation enable state and the HEQ linear percent read-back.
#include <cstdint>

#include "control/control_internal.h"

using namespace lep3::control;

namespace {

constexpr uint32_t kMaxEnableState = 1;

} // namespace

extern "C" LEP3_API int LEP3_GetAgcEnableState(uint32_t *out)
{
    return get_words<2>(id::kAgcEnableState, out);
}

extern "C" LEP3_API int LEP3_SetAgcEnableState(uint32_t value)
{
    return set_at_most(id::kAgcEnableState, value, kMaxEnableState);
}

extern "C" LEP3_API int LEP3_GetAgcROI(lep3_roi_t *out)
{
    return get_words<4>(id::kAgcRoi, out);
}

extern "C" LEP3_API int LEP3_SetAgcROI(lep3_roi_t roi)
{
    return set_bytes(id::kAgcRoi, roi);
}

extern "C" LEP3_API int LEP3_GetAgcHistogramStatistics(lep3_stats_t *out)
{
    return get_words<4>(id::kAgcHistogramStatistics, out);
}

extern "C" LEP3_API int LEP_GetAgcCalcEnableState(uint32_t *out)
{
    return get_words<2>(id::kAgcCalcEnableState, out);
}

extern "C" LEP3_API int LEP_SetAgcCalcEnableState(uint32_t value)
{
    return set_at_most(id::kAgcCalcEnableState, value, kMaxEnableState);
}

extern "C" LEP3_API int LEP3_GetAgcHeqLinearPercent(uint16_t *out)
{
    return get_words<1>(id::kAgcHeqLinearPercent, out);
}
