// lep3: command-line tool for the thermal camera bridge.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "hostkit/command_thread.h"
#include "hostkit/console.h"
#include "hostkit/library_messages.h"
#include "hostkit/signals.h"
#include "lep3.h"
#include "tools/commands.h"

namespace lep3tool {
namespace {

constexpr const Command *kCommands[] = {
    &kInfoCommand,   &kCaptureCommand, &kStreamCommand,  &kListCommand, &kFfcCommand,   &kGetCommand,
    &kSetCommand,    &kUpdateCommand,  &kRecoverCommand, &kViewCommand, &kServeCommand, &kWatchCommand,
#ifdef LEP3_HAVE_TIFF
    &kRecordCommand, &kInspectCommand,
#endif
};

// Options of the program as a whole, given before any command.
constexpr OptionDef kProgramOptions[] = {
    {"version", 0, "", "show the library's version"},
};

const Command *find_command(std::string_view name)
{
    for (const Command *c : kCommands)
        if (c->name == name)
            return c;
    return nullptr;
}

void print_main_help(FILE *to)
{
    print_to(to, "%s",
             "Usage: lep3 [--sim | --device PATH] COMMAND [OPTIONS]\n"
             "\nTalks to a 160x120 thermal camera through its USB serial bridge.\n"
             "\nCommands:\n");
    for (const Command *c : kCommands) {
        print_to(to, "  %-10.*s ", static_cast<int>(c->name.size()), c->name.data());
        print_wrapped(to, c->summary, 13);
    }
    print_options(to, kProgramOptions);
    print_to(to, "%s",
             "\nRun 'lep3 COMMAND --help' for the options of a command.\n"
             "Try it without a camera: lep3 capture --sim\n");
}

void print_command_help(FILE *to, const Command &c)
{
    // Every line fits 80 columns: the texts are wrapped here.
    const std::string usage = "Usage: lep3 " + std::string(c.name) + " ";
    print_to(to, "%s", usage.c_str());
    print_wrapped(to, c.arguments, usage.size());
    print_to(to, "\n");
    print_wrapped(to, c.summary, 0);
    if (!c.details.empty()) {
        print_to(to, "\n");
        print_wrapped(to, c.details, 0);
    }
    print_options(to, c.options);
    if (c.more_help != nullptr)
        c.more_help(to);
}

int run(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    // Global options may come before the command: "lep3 --sim capture".
    std::vector<std::string> leading;
    size_t i = 0;
    for (; i < args.size() && args[i].size() > 1 && args[i][0] == '-'; ++i) {
        leading.push_back(args[i]);
        if ((args[i] == "--device" || args[i] == "-d") && i + 1 < args.size())
            leading.push_back(args[++i]);
    }
    const ParsedArgs globals = parse_args(leading, kProgramOptions);
    if (globals.has("version")) {
        print_to(out(), "lep3 %s\n", LEP3_GetLibraryVersion());
        return kExitOk;
    }
    if (i == args.size()) {
        if (globals.has("help")) {
            print_main_help(out());
            return kExitOk;
        }
        print_main_help(stderr);
        return kExitUsage;
    }
    std::string name = args[i++];
    if (name == "help") {
        if (i == args.size()) {
            print_main_help(out());
            return kExitOk;
        }
        name = args[i];
        const Command *c = find_command(name);
        if (c == nullptr)
            throw UsageError("unknown command '" + name + "'");
        print_command_help(out(), *c);
        return kExitOk;
    }
    const Command *command = find_command(name);
    if (command == nullptr)
        throw UsageError("unknown command '" + name + "'");

    std::vector<std::string> rest = leading;
    rest.insert(rest.end(), args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    ParsedArgs parsed;
    try {
        parsed = parse_args(rest, command->options);
    } catch (const UsageError &e) {
        error("%s (see 'lep3 %.*s --help')", e.what(), static_cast<int>(command->name.size()), command->name.data());
        return kExitUsage;
    }
    if (parsed.has("help")) {
        print_command_help(out(), *command);
        return kExitOk;
    }
    route_library_messages(parsed.has("verbose") && !parsed.has("quiet"));
    install_signal_handlers();
    try {
        return run_command_thread([command, &parsed] { return command->run(parsed); });
    } catch (const UsageError &e) {
        error("%s (see 'lep3 %.*s --help')", e.what(), static_cast<int>(command->name.size()), command->name.data());
        return kExitUsage;
    }
}

} // namespace
} // namespace lep3tool

int main(int argc, char **argv)
{
    using namespace lep3tool;
    int status = kExitFailure;
    try {
        status = run(argc, argv);
    } catch (const UsageError &e) {
        error("%s (see 'lep3 --help')", e.what());
        status = kExitUsage;
    } catch (const std::exception &e) {
        error("%s", e.what());
        status = kExitFailure;
    }
    flush_output();
    if (output_failed() && status == kExitOk) {
        error("the results could not be written");
        status = kExitFailure;
    }
    return status;
}
