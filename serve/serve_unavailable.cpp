// lep3 serve and lep3 view in a tool built without their HTTP library: the commands say
// what is missing.
#include <stdexcept>

#include "hostkit/command.h"

namespace lep3tool {

namespace {

int run_unavailable(const ParsedArgs &)
{
    throw std::runtime_error(
        "this lep3 was built without the web viewer: install libmicrohttpd-dev and libssl-dev, and build it again");
}

} // namespace

// extern: the tool's table of commands names it, from another file.
extern const Command kViewCommand = {
    "view", "", "serve a web page with the live picture (not built in this lep3)", "", {}, run_unavailable,
};

// extern: the tool's table of commands names it, from another file.
extern const Command kServeCommand = {
    "serve", "", "run the long-running service for one camera (not built in this lep3)", "", {}, run_unavailable,
};

} // namespace lep3tool
