// The session's link states by name, as every host shows them and the library exports
// them (LEP3_LinkStateName): "closed", "up", "silent", "gone", "reconnecting", in the
// order of the LEP3_LINK_* values.
#pragma once

#include <array>
#include <string_view>

#include "lep3.h"

namespace lep3::names {

// String literals, so each data() ends with a NUL for C callers.
inline constexpr std::array<std::string_view, 5> kLinkStateNames = {"closed", "up", "silent", "gone", "reconnecting"};
static_assert(kLinkStateNames[LEP3_LINK_CLOSED] == "closed" && kLinkStateNames[LEP3_LINK_UP] == "up" &&
              kLinkStateNames[LEP3_LINK_SILENT] == "silent" && kLinkStateNames[LEP3_LINK_GONE] == "gone" &&
              kLinkStateNames[LEP3_LINK_RECONNECTING] == "reconnecting");

// A state's name; a value that is no state reads as "closed".
constexpr const char *link_state_name(int state)
{
    return state >= 0 && static_cast<size_t>(state) < kLinkStateNames.size() ? kLinkStateNames[state].data()
                                                                             : kLinkStateNames[0].data();
}

} // namespace lep3::names
