// Helpers shared by the subcommands.
#include "tools/command_support.h"

#include <stdexcept>

#include "tools/result_text.h"
#include "tools/signals.h"

namespace lep3tool {

SessionOptions session_options(const ParsedArgs &args)
{
    SessionOptions options;
    options.sim = args.has("sim");
    if (auto device = args.value("device")) {
        if (options.sim)
            throw UsageError("--sim and --device exclude each other");
        if (device->empty())
            throw UsageError("--device needs a path");
        options.device = *device;
    }
    return options;
}

int interrupted_status()
{
    return 128 + stop_signal();
}

void check_result(int code, const std::string &what)
{
    if (code != 0)
        throw std::runtime_error(what + ": " + describe_result(code));
}

} // namespace lep3tool
