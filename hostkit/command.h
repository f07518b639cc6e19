// One subcommand of the tool, as its table lists it: main parses the command line with
// the command's option table, prints its help, and catches what it throws. The tool's
// own commands and the service's (serve/) are written in this shape.
#pragma once

#include <cstdio>
#include <span>
#include <string_view>

#include "hostkit/args.h"

namespace lep3tool {

struct Command {
    std::string_view name;
    std::string_view arguments; // synopsis after the name, e.g. "[-n N] [-o DIR]"
    std::string_view summary;   // one line for the command list
    std::string_view details;   // paragraph for the command's help, or empty
    std::span<const OptionDef> options;
    int (*run)(const ParsedArgs &args);
    void (*more_help)(std::FILE *to) = nullptr; // help built from a table, or nullptr
};

} // namespace lep3tool
