#include "serve/config_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lep3tool::serve {

namespace {

// Keys a file can't give: the file itself, and the help.
constexpr std::string_view kNotInFile[] = {"config", "help"};

std::string_view trimmed(std::string_view text)
{
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

const OptionDef *find_option(std::string_view key, std::span<const OptionDef> options)
{
    for (const std::string_view excluded : kNotInFile)
        if (key == excluded)
            return nullptr;
    for (const auto &o : options)
        if (o.name == key)
            return &o;
    for (const auto &o : kGlobalOptions)
        if (o.name == key)
            return &o;
    return nullptr;
}

std::optional<bool> flag_value(std::string_view value)
{
    for (const std::string_view yes : {"yes", "true", "on", "1"})
        if (value == yes)
            return true;
    for (const std::string_view no : {"no", "false", "off", "0"})
        if (value == no)
            return false;
    return std::nullopt;
}

} // namespace

bool merge_config_file(const std::string &path, std::span<const OptionDef> options, ParsedArgs &args)
{
    std::ifstream file(path);
    if (!file) {
        if (errno == ENOENT)
            return false;
        throw std::runtime_error("cannot read the configuration " + path + ": " + std::strerror(errno));
    }
    // Every line of a key, in order: the last holds, and a repeatable option (--box,
    // --alarm) takes them all. A flag keeps its last line; off has no value.
    std::map<std::string, std::vector<std::optional<std::string>>, std::less<>> from_file;
    std::string text;
    for (int number = 1; std::getline(file, text); ++number) {
        const std::string_view line = trimmed(text);
        if (line.empty() || line.front() == '#')
            continue;
        const std::string where = path + " line " + std::to_string(number) + ": ";
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            throw UsageError(where + "not a 'key = value' line");
        const std::string_view key = trimmed(line.substr(0, eq));
        const std::string_view value = trimmed(line.substr(eq + 1));
        const OptionDef *option = find_option(key, options);
        if (option == nullptr)
            throw UsageError(where + "no option is called '" + std::string(key) + "'");
        if (value.empty())
            throw UsageError(where + "'" + std::string(key) + "' has no value");
        if (!option->value_name.empty()) {
            from_file[std::string(key)].emplace_back(std::string(value));
            continue;
        }
        const std::optional<bool> on = flag_value(value);
        if (!on)
            throw UsageError(where + "'" + std::string(key) + "' is yes or no, not '" + std::string(value) + "'");
        from_file[std::string(key)] = {*on ? std::optional<std::string>("") : std::nullopt};
    }
    if (file.bad())
        throw std::runtime_error("cannot read the configuration " + path + ": " + std::strerror(errno));
    for (const auto &[key, lines] : from_file)
        if (!args.has(key))
            for (const auto &value : lines)
                if (value)
                    args.set(key, *value);
    return true;
}

} // namespace lep3tool::serve
