// The link states' names for hosts that can't include the table itself.
#include "lep3.h"
#include "names/link_states.h"

extern "C" LEP3_API const char *LEP3_LinkStateName(int state)
{
    const auto &names = lep3::names::kLinkStateNames;
    return state >= 0 && static_cast<size_t>(state) < names.size() ? names[static_cast<size_t>(state)].data() : nullptr;
}
