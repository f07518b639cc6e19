// What the subcommands that report temperatures share: the object parameters and the
// regions of their command lines, and the regions' readings as text and CSV (their JSON
// is thermo/'s, the same for every host).
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "hostkit/args.h"
#include "lep3.h"
#include "thermo/readings_json.h"
#include "thermo/region_text.h"

namespace lep3tool {

inline constexpr OptionDef kObjectOptions[] = {
    {"emissivity", 0, "E", "the object's emissivity, 0.01..1 (default 1)"},
    {"reflected", 0, "T", "apparent temperature of what the object reflects (default 20C)"},
    {"air", 0, "T", "temperature of the air between object and camera (default 20C)"},
    {"humidity", 0, "H", "relative humidity of that air, 0..1 or 0%..100% (default 50%)"},
    {"distance", 0, "M", "object to camera in metres, up to 10000 (default 0)"},
    {"window", 0, "W", "transmission of an external window or optics, 0.01..1 (default 1: none)"},
    {"window-temp", 0, "T", "temperature of that window (default 20C)"},
};

inline constexpr OptionDef kRegionOptions[] = {
    {"spot", 0, "[NAME=]X,Y", "report the temperature of a pixel (repeatable; named spot1, spot2...)"},
    {"box", 0, "[NAME=]X0,Y0,X1,Y1", "report a rectangle's minimum, maximum and mean (repeatable)"},
    {"line", 0, "[NAME=]X0,Y0,X1,Y1", "report the same along a line (repeatable)"},
};

using lep3::thermo::object_json;
using lep3::thermo::region_json;

// One option table of several, for a subcommand's own options and the shared ones.
template <size_t... N> constexpr std::array<OptionDef, (N + ...)> join_options(const OptionDef (&...parts)[N])
{
    std::array<OptionDef, (N + ...)> all{};
    size_t k = 0;
    (([&] {
         for (const OptionDef &o : parts)
             all[k++] = o;
     }()),
     ...);
    return all;
}

// The object parameters of the command line (the library's defaults where not given);
// throws UsageError for a value the library refuses.
struct ObjectSettings {
    lep3_object_params_t params{};
    bool given = false; // any option given: temperatures are object temperatures
};
ObjectSettings parse_object_settings(const ParsedArgs &args);
// The object parameters as recorded and printed: "emissivity 0.95, reflected 20.00 C, ...".
std::string object_text(const lep3_object_params_t &p);

// The regions of the command line, in the order spot, box, line; throws UsageError for a
// malformed one or a name used twice.
std::vector<lep3::thermo::NamedRegion> parse_regions(const ParsedArgs &args);

// Readings of every region of a temperature frame (C), in the regions' order.
std::vector<lep3_region_stats_t> measure_regions(std::span<const float> celsius,
                                                 std::span<const lep3::thermo::NamedRegion> regions);

// "box1: min 20.10 °C at (12,30), max 35.20 °C at (40,50), mean 25.31 °C, 420 px"
std::string region_text(const lep3::thermo::NamedRegion &r, const lep3_region_stats_t &s);
// The columns of region_csv_row, as a header line without its line end.
inline constexpr const char *kRegionCsvHeader =
    "frame,time,region,kind,min_c,max_c,mean_c,min_x,min_y,max_x,max_y,pixels,nan_pixels";
std::string region_csv_row(uint32_t frame, const std::string &time, const lep3::thermo::NamedRegion &r,
                           const lep3_region_stats_t &s);

} // namespace lep3tool
