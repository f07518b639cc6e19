// The palettes' names for hosts that can't include the table itself.
#include "lep3.h"
#include "names/palettes.h"

extern "C" LEP3_API const char *LEP3_PaletteName(int index)
{
    const auto &names = lep3::names::kPaletteNames;
    return index >= 0 && static_cast<size_t>(index) < names.size() ? names[static_cast<size_t>(index)].data() : nullptr;
}
