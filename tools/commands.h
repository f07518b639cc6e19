// The subcommands of the tool. Each lives in a file of its own and is listed in the table
// of main.cpp.
#pragma once

#include "hostkit/command.h"

namespace lep3tool {

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
