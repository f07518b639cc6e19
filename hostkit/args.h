// Command-line parsing shared by every subcommand: long options (--name VALUE or
// --name=VALUE), single-letter options (-n 3 or -n3), positionals, and "--" to end
// option parsing. Each subcommand declares its options in a table; the global options
// are accepted by every subcommand.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lep3tool {

struct OptionDef {
    std::string_view name;       // long name without the dashes
    char letter;                 // single-letter form, or 0
    std::string_view value_name; // empty: the option is a flag
    std::string_view help;
};

// Options every subcommand understands.
inline constexpr OptionDef kGlobalOptions[] = {
    {"sim", 0, "", "run against the bundled bridge emulator instead of a device"},
    {"device", 'd', "PATH", "serial device of the bridge (default /dev/ttyACM0)"},
    {"verbose", 'v', "", "also show the library's own messages on standard error"},
    {"quiet", 'q', "", "no library messages even with --verbose (the tool's errors remain)"},
    {"help", 'h', "", "show this help"},
};

// A wrong command line: reported with the usage hint and exit status 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class ParsedArgs {
  public:
    bool has(std::string_view name) const { return values_.count(std::string(name)) != 0; }
    // The value of the last occurrence of an option, if it was given.
    std::optional<std::string> value(std::string_view name) const;
    // Every value of a repeatable option, in the order given.
    std::vector<std::string> values(std::string_view name) const;
    const std::vector<std::string> &positionals() const { return positionals_; }

    void set(std::string_view name, std::string value)
    {
        repeated_[std::string(name)].push_back(value);
        values_[std::string(name)] = std::move(value);
    }
    void add_positional(std::string value) { positionals_.push_back(std::move(value)); }

  private:
    std::map<std::string, std::string> values_;
    std::map<std::string, std::vector<std::string>> repeated_;
    std::vector<std::string> positionals_;
};

// Parses args against the subcommand's options and the global ones; throws UsageError
// for an unknown option or a missing value.
ParsedArgs parse_args(std::span<const std::string> args, std::span<const OptionDef> options);

// Numbers given on the command line, whole and in range, or UsageError naming the option.
int64_t parse_integer(std::string_view text, std::string_view what, int64_t lo, int64_t hi);
double parse_number(std::string_view text, std::string_view what);

// Writes text from column indent (where the caller's prefix ends) to the end of the line,
// wrapped at its spaces to 80 columns, continuation lines indented alike; a line end
// follows. Line ends in text are spaces, except blank lines, which stay.
void print_wrapped(std::FILE *to, std::string_view text, size_t indent);

// Writes the option table of a help text.
void print_options(std::FILE *to, std::span<const OptionDef> options);

} // namespace lep3tool
