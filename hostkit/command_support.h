// Helpers shared by the subcommands.
#pragma once

#include <chrono>
#include <string>

#include "hostkit/args.h"
#include "hostkit/session.h"

namespace lep3tool {

// The session options given by the global options (--sim, --device); throws UsageError
// when they contradict each other.
SessionOptions session_options(const ParsedArgs &args);

// --timeout of the commands that wait for frames: how long the bridge may send none.
inline constexpr OptionDef kTimeoutOption = {"timeout", 0, "S", "fail when no frame arrives for S seconds (default 3)"};
// Its value, or the default of 3 seconds; throws UsageError for a value that is not above 0.
std::chrono::milliseconds frame_timeout(const ParsedArgs &args);

// The exit status of a subcommand that a stop signal ended.
int interrupted_status();

// Throws std::runtime_error "<what>: <meaning of code>" unless code is 0.
void check_result(int code, const std::string &what);

} // namespace lep3tool
