#include "serve/http_exchange.h"

#include <microhttpd.h>

#include <strings.h>

namespace lep3tool::serve {

namespace {

std::string unescaped(std::string_view text)
{
    std::string s(text);
    s.resize(MHD_http_unescape(s.data()));
    return s;
}

// name=value pairs joined by '&', as a query and a form's body have them.
void add_fields(std::string_view rest, Fields &to)
{
    while (!rest.empty()) {
        const size_t amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        if (pair.empty())
            continue;
        const size_t eq = pair.find('=');
        to.emplace_back(unescaped(pair.substr(0, eq)),
                        eq == std::string_view::npos ? std::string() : unescaped(pair.substr(eq + 1)));
    }
}

} // namespace

std::optional<std::string> HttpRequest::param(std::string_view name) const
{
    for (const auto &[n, v] : query)
        if (n == name)
            return v;
    return std::nullopt;
}

std::string HttpRequest::header(std::string_view name) const
{
    for (const auto &[n, v] : headers)
        if (n.size() == name.size() && strncasecmp(n.data(), name.data(), n.size()) == 0)
            return v;
    return {};
}

void parse_target(std::string_view target, HttpRequest &req)
{
    const size_t mark = target.find('?');
    req.path = unescaped(target.substr(0, mark));
    req.query.clear();
    if (mark != std::string_view::npos)
        add_fields(target.substr(mark + 1), req.query);
}

void add_form_fields(HttpRequest &req)
{
    if (req.header("Content-Type").starts_with("application/x-www-form-urlencoded"))
        add_fields(req.body, req.query);
}

} // namespace lep3tool::serve
