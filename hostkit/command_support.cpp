// Helpers shared by the subcommands.
#include "hostkit/command_support.h"

#include <cmath>
#include <stdexcept>

#include "hostkit/result_text.h"
#include "hostkit/signals.h"

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

std::chrono::milliseconds frame_timeout(const ParsedArgs &args)
{
    // A bridge streams several frames a second: this long without one means it sends nothing.
    constexpr std::chrono::milliseconds kDefault{3000};
    const auto text = args.value("timeout");
    if (!text)
        return kDefault;
    const double seconds = parse_number(*text, "--timeout");
    if (!(seconds > 0) || seconds > 86400)
        throw UsageError("--timeout takes seconds above 0, up to 86400");
    return std::chrono::milliseconds(std::llround(seconds * 1000));
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
