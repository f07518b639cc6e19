#include "hostkit/args.h"

#include "hostkit/console.h"
#include "hostkit/text_format.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace lep3tool {

namespace {

const OptionDef *find_long(std::string_view name, std::span<const OptionDef> options)
{
    for (const auto &o : options)
        if (o.name == name)
            return &o;
    for (const auto &o : kGlobalOptions)
        if (o.name == name)
            return &o;
    return nullptr;
}

const OptionDef *find_letter(char letter, std::span<const OptionDef> options)
{
    for (const auto &o : options)
        if (o.letter == letter)
            return &o;
    for (const auto &o : kGlobalOptions)
        if (o.letter == letter)
            return &o;
    return nullptr;
}

// Help texts fit a terminal of this width; an option's help starts at kHelpColumn.
constexpr size_t kHelpWidth = 80;
constexpr size_t kHelpColumn = 29;

// text cut at its spaces into lines of at most width characters (a longer word stays whole).
std::vector<std::string> wrap_words(std::string_view text, size_t width)
{
    std::vector<std::string> lines(1);
    size_t columns = 0; // characters, not UTF-8 bytes
    auto characters = [](std::string_view word) {
        size_t n = 0;
        for (const char c : word)
            n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
        return n;
    };
    // A bracketed group of a usage line ("[--emissivity E ...]") stays on one line when it fits.
    auto group_end = [text, width, &characters](size_t at) {
        const size_t space = std::min(text.find(' ', at), text.size());
        int depth = 0;
        size_t end = at;
        for (; end < text.size() && (depth > 0 || end == at || text[end] != ' '); ++end)
            depth += text[end] == '[' ? 1 : text[end] == ']' ? -1 : 0;
        return depth == 0 && characters(text.substr(at, end - at)) <= width ? end : space;
    };
    for (size_t at = 0; at < text.size();) {
        const size_t end = text[at] == '[' ? group_end(at) : std::min(text.find(' ', at), text.size());
        const std::string_view word = text.substr(at, end - at);
        const size_t n = characters(word);
        if (columns > 0 && columns + 1 + n > width) {
            lines.emplace_back();
            columns = 0;
        }
        if (columns > 0) {
            lines.back() += ' ';
            ++columns;
        }
        lines.back() += word;
        columns += n;
        at = end + 1;
    }
    return lines;
}

} // namespace

std::optional<std::string> ParsedArgs::value(std::string_view name) const
{
    const auto it = values_.find(std::string(name));
    if (it == values_.end())
        return std::nullopt;
    return it->second;
}

std::vector<std::string> ParsedArgs::values(std::string_view name) const
{
    const auto it = repeated_.find(std::string(name));
    return it == repeated_.end() ? std::vector<std::string>{} : it->second;
}

ParsedArgs parse_args(std::span<const std::string> args, std::span<const OptionDef> options)
{
    ParsedArgs parsed;
    bool options_ended = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        // A negative number ("set shutter-position -1") is a value, not an option.
        const bool negative_number = arg.size() >= 2 && arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9';
        if (options_ended || arg.size() < 2 || arg[0] != '-' || negative_number) {
            parsed.add_positional(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        const OptionDef *option_def = nullptr;
        std::optional<std::string> inline_value;
        std::string shown;
        if (arg[1] == '-') {
            std::string_view body = std::string_view(arg).substr(2);
            const size_t eq = body.find('=');
            if (eq != std::string_view::npos) {
                inline_value = std::string(body.substr(eq + 1));
                body = body.substr(0, eq);
            }
            option_def = find_long(body, options);
            shown = std::string("--").append(body);
        } else {
            option_def = find_letter(arg[1], options);
            shown = arg.substr(0, 2);
            if (arg.size() > 2)
                inline_value = arg.substr(2);
        }
        if (option_def == nullptr)
            throw UsageError("unknown option " + shown);
        if (option_def->value_name.empty()) {
            if (inline_value && arg[1] == '-')
                throw UsageError("option " + shown + " takes no value");
            if (inline_value)
                throw UsageError("unknown option " + arg);
            parsed.set(option_def->name, "");
            continue;
        }
        if (!inline_value) {
            if (i + 1 >= args.size())
                throw UsageError("option " + shown + " needs a value (" + std::string(option_def->value_name) + ")");
            inline_value = args[++i];
        }
        parsed.set(option_def->name, *inline_value);
    }
    return parsed;
}

int64_t parse_integer(std::string_view text, std::string_view what, int64_t lo, int64_t hi)
{
    const std::string s(text);
    errno = 0;
    char *end = nullptr;
    // Base 0 takes decimal and 0x-prefixed hexadecimal; a leading zero is not octal
    // here, since "010" on a command line means ten to most people.
    const bool hex = s.size() > 2 && (s.rfind("0x", 0) == 0 || s.rfind("0X", 0) == 0 || s.rfind("-0x", 0) == 0);
    const long long v = std::strtoll(s.c_str(), &end, hex ? 16 : 10);
    if (s.empty() || end == s.c_str() || *end != '\0' || errno == ERANGE)
        throw UsageError(std::string(what) + " must be a whole number, not '" + s + "'");
    if (v < lo || v > hi) {
        throw UsageError(std::string(what) + " " + s + " is out of range" +
                         format_text(" (%" PRId64 " to %" PRId64 ")", lo, hi));
    }
    return v;
}

double parse_number(std::string_view text, std::string_view what)
{
    const std::string s(text);
    char *end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (s.empty() || end == s.c_str() || *end != '\0' || !std::isfinite(v))
        throw UsageError(std::string(what) + " must be a number, not '" + s + "'");
    return v;
}

void print_wrapped(std::FILE *to, std::string_view text, size_t indent)
{
    bool first = true;
    while (!text.empty()) {
        const size_t blank = text.find("\n\n");
        std::string paragraph(text.substr(0, blank));
        text = blank == std::string_view::npos ? std::string_view() : text.substr(blank + 2);
        std::replace(paragraph.begin(), paragraph.end(), '\n', ' ');
        if (!first)
            print_to(to, "\n%*s", static_cast<int>(indent), "");
        first = false;
        const std::vector<std::string> lines = wrap_words(paragraph, kHelpWidth - indent);
        for (size_t i = 0; i < lines.size(); ++i)
            print_to(to, "%*s%s\n", i == 0 ? 0 : static_cast<int>(indent), "", lines[i].c_str());
    }
}

void print_options(std::FILE *to, std::span<const OptionDef> options)
{
    auto row = [to](const OptionDef &o) {
        // Built left to right by appending: GCC 12 at -O3 reports a false -Wrestrict
        // overlap for a literal prepended to a temporary string ("--" + std::string(...)).
        std::string left = o.letter != 0 ? std::string{'-', o.letter, ',', ' '} : std::string(4, ' ');
        left.append("--").append(o.name);
        if (!o.value_name.empty())
            left.append(" ").append(o.value_name);
        if (left.size() > kHelpColumn - 3)
            print_to(to, "  %s\n%*s", left.c_str(), static_cast<int>(kHelpColumn), "");
        else
            print_to(to, "  %-*s ", static_cast<int>(kHelpColumn - 3), left.c_str());
        print_wrapped(to, o.help, kHelpColumn);
    };
    if (!options.empty()) {
        print_to(to, "%s", "\nOptions:\n");
        for (const auto &o : options)
            row(o);
    }
    print_to(to, "%s", "\nGlobal options:\n");
    for (const auto &o : kGlobalOptions)
        if (std::none_of(options.begin(), options.end(), [&o](const OptionDef &own) { return own.name == o.name; }))
            row(o); // a command's own option of that name takes its place
}

} // namespace lep3tool
