// lep3 ffc: a flat-field correction, waiting until the camera core has finished it.
#include <cstdio>

#include "hostkit/command_support.h"
#include "hostkit/command_thread.h"
#include "hostkit/console.h"
#include "lep3.h"
#include "tools/commands.h"

namespace lep3tool {

namespace {

constexpr OptionDef kOptions[] = {
    {"rad", 0, "", "run the radiometric flat-field correction instead"},
};

int run_ffc(const ParsedArgs &args)
{
    if (!args.positionals().empty())
        throw UsageError("ffc takes no arguments");
    const bool rad = args.has("rad");
    Session session(session_options(args));
    check_result(awaiting_reply([rad] { return rad ? LEP3_RunRadFFC() : LEP3_RunSysFFCNormalization(); }),
                 rad ? "the radiometric flat-field correction" : "the flat-field correction");
    print("%s done\n", rad ? "radiometric flat-field correction" : "flat-field correction");
    return kExitOk;
}

} // namespace

const Command kFfcCommand = {
    "ffc", "[--rad]", "run a flat-field correction", "", kOptions, run_ffc,
};

} // namespace lep3tool
