// lep3 get / lep3 set: the camera's values by readable names.
#include <cstdio>
#include <string>

#include "hostkit/command_support.h"
#include "hostkit/command_thread.h"
#include "hostkit/console.h"
#include "hostkit/result_text.h"
#include "hostkit/settings.h"
#include "tools/commands.h"

namespace lep3tool {

namespace {

constexpr OptionDef kGetOptions[] = {
    {"json", 0, "", "print one JSON object of names and values for scripts"},
};

const Setting &lookup(const std::string &name)
{
    const Setting *s = find_setting(name);
    if (s == nullptr)
        throw UsageError("unknown setting '" + name + "'");
    return *s;
}

void print_names(FILE *to, bool writable_only)
{
    print_to(to, "%s", writable_only ? "\nSettings:\n" : "\nValues (* can be set):\n");
    for (const auto &s : kSettings) {
        if (writable_only && s.set == nullptr)
            continue;
        std::string name(s.name);
        if (!s.alias.empty())
            name += ", " + std::string(s.alias);
        if (s.set != nullptr && !writable_only)
            name += " *";
        std::string text(s.summary);
        if (s.set != nullptr)
            text.append("; takes ").append(s.accepts);
        print_to(to, "  %-24s ", name.c_str());
        print_wrapped(to, text, 27);
    }
}

void print_all_names(FILE *to)
{
    print_names(to, false);
}
void print_writable_names(FILE *to)
{
    print_names(to, true);
}

int run_get(const ParsedArgs &args)
{
    const auto &names = args.positionals();
    if (names.size() > 1)
        throw UsageError("get takes one name, or none for all values");
    const Setting *only = names.empty() ? nullptr : &lookup(names[0]);
    const bool json = args.has("json");

    Session session(session_options(args));
    nlohmann::ordered_json values = nlohmann::ordered_json::object();
    int failures = 0;
    for (const auto &s : kSettings) {
        if (only != nullptr && &s != only)
            continue;
        SettingValue value;
        const int r = awaiting_reply([&] { return s.get(value); });
        const std::string name(s.name);
        if (r != 0) {
            ++failures;
            error("reading %s: %s", name.c_str(), describe_result(r).c_str());
            // A silent bridge would make each further read wait out its reply time.
            if (r == -2)
                break;
            continue;
        }
        values[name] = value.json;
        if (json)
            continue;
        if (only != nullptr)
            print("%s\n", value.text.c_str());
        else
            print("%s %s\n", name.c_str(), value.text.c_str());
    }
    // Scripts get one object of the values that could be read.
    if (json)
        print("%s\n", values.dump().c_str());
    return failures == 0 ? kExitOk : kExitFailure;
}

int run_set(const ParsedArgs &args)
{
    const auto &words = args.positionals();
    if (words.size() != 2)
        throw UsageError("set takes a name and a value");
    const Setting &s = lookup(words[0]);
    if (s.set == nullptr)
        throw UsageError(words[0] + " can be read but not set");
    const int64_t value = parse_setting_value(s, words[1]);

    Session session(session_options(args));
    const int r = awaiting_reply([&] { return s.set(value); });
    if (r == kSettingOutOfRange)
        throw UsageError(out_of_range_message(s, words[1]));
    check_result(r, "setting " + words[0]);
    print("%.*s set to %s%s\n", static_cast<int>(s.name.size()), s.name.data(), words[1].c_str(),
          session.sim() != nullptr ? " (in the emulator, which forgets it when this command ends)" : "");
    return kExitOk;
}

} // namespace

const Command kGetCommand = {
    "get",   "[--json] [NAME]", "read a camera value by name (without NAME: all of them)", "", kGetOptions,
    run_get, print_all_names,
};

const Command kSetCommand = {
    "set",
    "NAME VALUE",
    "write a camera setting by name",
    "VALUE is a whole number; on and off stand for 1 and 0.",
    {},
    run_set,
    print_writable_names,
};

} // namespace lep3tool
