// The subcommands of the tool. Each lives in a file of its own and is listed in the table
// of main.cpp; main parses the command line with the command's option table, prints its
// help, and catches what it throws.
#pragma once

#include <cstdio>
#include <span>
#include <string_view>

#include "tools/args.h"

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

extern const Command kInfoCommand;
extern const Command kCaptureCommand;
extern const Command kStreamCommand;
extern const Command kListCommand;
extern const Command kFfcCommand;
extern const Command kGetCommand;
extern const Command kSetCommand;
extern const Command kUpdateCommand;
extern const Command kRecoverCommand;
extern const Command kViewCommand;
// The long-running service, from serve/.
extern const Command kServeCommand;
extern const Command kWatchCommand;
// Built with libtiff only.
extern const Command kRecordCommand;
extern const Command kInspectCommand;

} // namespace lep3tool
