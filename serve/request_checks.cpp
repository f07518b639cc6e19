#include "serve/request_checks.h"

#include <charconv>

#include "hostkit/args.h"
#include "hostkit/text_format.h"
#include "serve/access_token.h"
#include "serve/page_assets.h"

namespace lep3tool::serve {

namespace {

// Longer than any value a path takes, far shorter than what a hostile client sends.
constexpr size_t kValueMax = 64;
constexpr size_t kDigitsMax = 18; // every such number fits int64_t

bool all_digits(std::string_view s)
{
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

bool plain_decimal(std::string_view s)
{
    if (s.starts_with('-'))
        s.remove_prefix(1);
    return all_digits(s) && s.size() <= kDigitsMax;
}

// Digits with an optional fraction, and an optional '-' where allowed.
bool plain_fraction(std::string_view s, bool negative)
{
    if (negative && s.starts_with('-'))
        s.remove_prefix(1);
    const size_t dot = s.find('.');
    if (dot == std::string_view::npos)
        return all_digits(s) && s.size() <= kDigitsMax;
    return all_digits(s.substr(0, dot)) && all_digits(s.substr(dot + 1)) && s.size() <= kDigitsMax;
}

} // namespace

std::string shown(std::string_view value)
{
    std::string out;
    for (const char c : value.substr(0, kShownMax)) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7f)
            out += c;
        else
            out += format_text("\\x%02x", b);
    }
    if (value.size() > kShownMax)
        out += "...";
    return out;
}

int64_t parse_decimal(std::string_view text, std::string_view what, int64_t lo, int64_t hi)
{
    int64_t v = 0;
    if (!plain_decimal(text) || std::from_chars(text.data(), text.data() + text.size(), v).ec != std::errc())
        throw UsageError(std::string(what) + " must be a whole number, not '" + shown(text) + "'");
    if (v < lo || v > hi)
        throw UsageError(format_text("%.*s %.*s is out of range (%lld to %lld)", static_cast<int>(what.size()),
                                     what.data(), static_cast<int>(text.size()), text.data(),
                                     static_cast<long long>(lo), static_cast<long long>(hi)));
    return v;
}

std::string setting_text(std::string_view value, std::string_view setting)
{
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r' || value.back() == ' '))
        value.remove_suffix(1);
    if (value == "on" || value == "off" || value == "true" || value == "false" || plain_decimal(value))
        return std::string(value);
    throw UsageError("the value of " + std::string(setting) + " must be a whole number, not '" + shown(value) + "'");
}

void check_range_text(std::string_view range)
{
    if (range.size() > kValueMax ||
        range.find_first_not_of("0123456789.:-abcdefghijklmnopqrstuvwxyzCP") != std::string_view::npos)
        throw UsageError("range takes auto, held, MIN:MAX, 20C:35C or p1:p99, not '" + shown(range) + "'");
    if (range == "auto" || range == "held")
        return;
    const size_t colon = range.find(':');
    if (colon == std::string_view::npos)
        return; // the range's own parser explains
    for (std::string_view end : {range.substr(0, colon), range.substr(colon + 1)}) {
        bool ok = false;
        if (end.starts_with('p') || end.starts_with('P'))
            ok = plain_fraction(end.substr(1), false);
        else if (end.ends_with('C') || end.ends_with('c'))
            ok = plain_fraction(end.substr(0, end.size() - 1), true);
        else
            ok = all_digits(end) && end.size() <= kDigitsMax;
        // Ends of the wrong kind are for the range's own parser to explain.
        const bool number_like = end.find_first_of("0123456789") != std::string_view::npos;
        if (!ok && number_like)
            throw UsageError("range: '" + shown(end) + "' is not a plain decimal number");
    }
}

void check_name(std::string_view name, std::string_view what)
{
    if (name.empty() || name.size() > kValueMax ||
        name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_") !=
            std::string_view::npos)
        throw UsageError("unknown " + std::string(what) + " '" + shown(name) + "'");
}

bool from_another_site(const HttpRequest &req, bool loopback)
{
    const std::string host = req.header("Host");
    // Browsers always name the host; a script speaking HTTP/1.0 may not.
    if (loopback && !host.empty() && !is_loopback_host(host))
        return true;
    const std::string origin = req.header("Origin");
    return !origin.empty() && origin != "http://" + host;
}

std::string token_of(const HttpRequest &req)
{
    constexpr std::string_view kBearer = "Bearer ";
    const std::string auth = req.header("Authorization");
    if (auth.starts_with(kBearer))
        return auth.substr(kBearer.size());
    return req.param("token").value_or(std::string());
}

bool is_page_file(const HttpRequest &req)
{
    if (req.method != "GET" && req.method != "HEAD")
        return false;
    for (const PageAsset &asset : page_assets())
        if (asset.path == req.path)
            return true;
    return false;
}

} // namespace lep3tool::serve
