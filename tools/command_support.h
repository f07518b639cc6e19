// Helpers shared by the subcommands.
#pragma once

#include <string>

namespace lep3tool {

// Throws std::runtime_error "<what>: <meaning of code>" unless code is 0.
void check_result(int code, const std::string &what);

} // namespace lep3tool
