// The service's configuration file: `key = value` lines, `#` comments and blank lines.
// Every key is a long option of the command line without its dashes; a flag takes yes or
// no (true/false, on/off, 1/0 as well). The command line wins over the file.
#pragma once

#include <span>
#include <string>

#include "hostkit/args.h"

namespace lep3tool::serve {

// Adds to args each option the file gives and args lacks. False when there is no file.
// Throws UsageError naming the file and line for a line it can't take (an unknown key, a
// flag's value that is no yes or no), std::runtime_error when the file can't be read.
bool merge_config_file(const std::string &path, std::span<const OptionDef> options, ParsedArgs &args);

} // namespace lep3tool::serve
