// Fills the exported palette tables the way the library's initialiser does, for tests
// and benchmarks that colour frames without opening a link.
#pragma once

#include "lep3.h"

namespace lep3::test {

inline void fill_exported_palettes()
{
    generate_pallette_fusion_256(RGB24_pallette_fusion_256);
    generate_pallette_icefire_256(RGB24_pallette_icefire_256);
    generate_pallette_rainbow_256(RGB24_pallette_rainbow_256);
    generate_pallette_ironblack_256(RGB24_pallette_ironblack_256);
    generate_pallette_grayfusion_256(RGB24_pallette_grayfusion_256);
    generate_pallette_whitehot_256(RGB24_pallette_whitehot_256);
    generate_pallette_blackhot_256(RGB24_pallette_blackhot_256);
    generate_pallette_globow_256(RGB24_pallette_globow_256);
    generate_pallette_greyred_256(RGB24_pallette_greyred_256);
    generate_pallette_iron_256(RGB24_pallette_iron_256);
    generate_pallette_rain_256(RGB24_pallette_rain_256);
}

} // namespace lep3::test
