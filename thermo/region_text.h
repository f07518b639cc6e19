// Regions as people write them: "X,Y" for a spot, "X0,Y0,X1,Y1" for a box or a line, each
// with an optional "name=" in front. Unnamed regions are called by their kind and their
// place among the regions of that kind: spot1, box1, box2, line1.
#pragma once

#include <string>
#include <string_view>

#include "lep3.h"

namespace lep3::thermo {

struct NamedRegion {
    std::string name;
    lep3_region_t region;
};

// "spot", "box" or "line" for a LEP3_REGION_* kind.
std::string_view region_kind_name(int kind);

// The region of the given kind written in text, the ordinal-th of its kind (from 1).
// Throws std::invalid_argument saying what is wrong: a name of other characters than
// letters, digits, '_' and '-', a missing or extra coordinate, one outside 160 x 120.
NamedRegion parse_region(int kind, std::string_view text, int ordinal);

} // namespace lep3::thermo
