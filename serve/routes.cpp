#include "serve/routes.h"

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

#include "lep3.h"
#include "serve/access_token.h"
#include "serve/event_stream.h"
#include "serve/page_assets.h"
#include "serve/view_json.h"
#include "tools/args.h"
#include "tools/frame_pictures.h"
#include "tools/palette_names.h"
#include "tools/result_text.h"
#include "tools/settings.h"

namespace lep3tool::serve {

namespace {

using httplib::Request;
using httplib::Response;
using HandlerResponse = httplib::Server::HandlerResponse;

constexpr int kBadRequest = 400;
constexpr int kUnauthorized = 401;
constexpr int kForbidden = 403;
constexpr int kNotFound = 404;
constexpr int kServerError = 500;
constexpr int kBadGateway = 502;
constexpr int kUnavailable = 503;
constexpr int kGatewayTimeout = 504;

constexpr const char *kJson = "application/json";
constexpr const char *kPng = "image/png";

// A request the client got wrong, with its status and the sentence it reads.
class RequestError : public std::runtime_error {
  public:
    RequestError(int status, const std::string &message) : std::runtime_error(message), status_(status) {}
    int status() const { return status_; }

  private:
    int status_;
};

void reply(Response &res, int status, const nlohmann::json &body)
{
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(json_text(body), kJson);
}

void reply_error(Response &res, int status, const std::string &message)
{
    reply(res, status, {{"error", message}});
}

std::optional<std::string> param(const Request &req, const char *name)
{
    if (!req.has_param(name))
        return std::nullopt;
    return req.get_param_value(name);
}

// Everything a handler throws becomes a reply: the sentence for a user's mistake, a
// plain failure otherwise, never a crash.
template <typename Handler> httplib::Server::Handler guarded(Handler handler)
{
    return [handler](const Request &req, Response &res) {
        try {
            handler(req, res);
        } catch (const RequestError &e) {
            reply_error(res, e.status(), e.what());
        } catch (const UsageError &e) {
            reply_error(res, kBadRequest, e.what());
        } catch (const std::exception &e) {
            reply_error(res, kServerError, e.what());
        }
    };
}

// A POST's handler that reads the body itself: httplib would wait for the connection's end
// for a body sent without Content-Length (as `curl -X POST` sends none), where the request
// has none at all.
template <typename Handler> httplib::Server::HandlerWithContentReader guarded_post(Handler handler)
{
    return [handler](const Request &req, Response &res, const httplib::ContentReader &reader) {
        std::string body;
        const bool sent = req.has_header("Content-Length") || req.has_header("Transfer-Encoding");
        if (sent && !reader([&body](const char *data, size_t length) {
                body.append(data, length);
                return true;
            })) {
            // Too large (413, set by the reader) or cut short.
            const int status = res.status >= kBadRequest ? res.status : kBadRequest;
            reply_error(res, status, "refused with HTTP status " + std::to_string(status));
            return;
        }
        guarded([&handler, &body](const Request &r, Response &s) { handler(r, s, body); })(req, res);
    };
}

std::shared_ptr<const ViewFrame> newest_frame(const FrameHub &hub)
{
    auto frame = hub.newest();
    if (!frame)
        throw RequestError(kUnavailable, "no frame has arrived from the bridge yet");
    return frame;
}

// A command can't reach a bridge that is not there: say so at once.
void require_bridge()
{
    const int state = LEP3_GetLinkState();
    if (state == LEP3_LINK_GONE || state == LEP3_LINK_RECONNECTING || state == LEP3_LINK_CLOSED)
        throw RequestError(kUnavailable, "the bridge is gone; the command was not sent");
}

// The status for a library result: the camera's or the link's failure is not the
// client's fault.
int status_of_result(int code)
{
    switch (code) {
    case -2:
        return kGatewayTimeout;
    case -6:
        return kUnavailable;
    default:
        return kBadGateway;
    }
}

void check_command(int code, const std::string &what)
{
    if (code != 0)
        throw RequestError(status_of_result(code), what + ": " + describe_result(code));
}

nlohmann::json setting_json(const Setting &s)
{
    nlohmann::json j = {
        {"name", s.name},
        {"summary", s.summary},
        {"writable", s.set != nullptr},
    };
    if (!s.alias.empty())
        j["alias"] = s.alias;
    if (s.set != nullptr)
        j["accepts"] = s.accepts;
    return j;
}

// Reads one value into its JSON, as `lep3 get --json` gives it and as `lep3 get` prints
// it; the library's result.
int read_setting(const Setting &s, nlohmann::json &j)
{
    SettingValue value;
    const int r = s.get(value);
    if (r == 0) {
        j["value"] = nlohmann::json(value.json);
        j["text"] = value.text;
    } else {
        j["error"] = describe_result(r);
    }
    return r;
}

void serve_page(httplib::Server &server)
{
    for (const PageAsset &asset : page_assets()) {
        server.Get(std::string(asset.path), [&asset](const Request &, Response &res) {
            res.set_header("Cache-Control", "no-cache");
            res.set_content(asset.body.data(), asset.body.size(), std::string(asset.content_type).c_str());
        });
    }
}

void serve_pictures(httplib::Server &server, ViewContext &ctx)
{
    server.Get("/api/stream", guarded([&ctx](const Request &req, Response &res) {
                   const PictureStyle style = parse_picture_style(param(req, "palette"), param(req, "range"));
                   start_event_stream(res, style, ctx.hub, ctx.feed, ctx.pictures);
               }));

    server.Get("/frame.png", guarded([&ctx](const Request &req, Response &res) {
                   const PictureStyle style = parse_picture_style(param(req, "palette"), param(req, "range"));
                   const auto frame = newest_frame(ctx.hub);
                   const auto picture = ctx.pictures.make(*frame, style);
                   res.set_header("Cache-Control", "no-store");
                   if (!picture->range_warning.empty())
                       res.set_header("Lep3-Warning", picture->range_warning);
                   res.set_header("Content-Disposition",
                                  "inline; filename=\"frame-" + std::to_string(frame->number) + ".png\"");
                   res.set_content(picture->png, kPng);
               }));

    server.Get("/raw.png", guarded([&ctx](const Request &, Response &res) {
                   const auto frame = newest_frame(ctx.hub);
                   float fpa = 0;
                   const bool have_fpa =
                       LEP3_GetLinkState() == LEP3_LINK_UP && LEP3_GetSysFpaTemperatureCelcius(&fpa) == 0;
                   const std::string png =
                       encode_png_gray16(frame->raw, kFrameWidth, kFrameHeight,
                                         raw_picture_text(frame->number, frame->taken,
                                                          have_fpa ? std::optional<float>(fpa) : std::nullopt,
                                                          frame->rbfo, frame->rbfo_set, ctx.feed.provenance()),
                                         kRawSignificantBits);
                   res.set_header("Cache-Control", "no-store");
                   res.set_header("Content-Disposition",
                                  "inline; filename=\"frame-" + std::to_string(frame->number) + "-raw16.png\"");
                   res.set_content(png, kPng);
               }));

    server.Get("/palette.png", guarded([](const Request &req, Response &res) {
                   const PictureStyle style = parse_picture_style(param(req, "palette"), std::nullopt);
                   res.set_content(palette_png(style.palette), kPng);
               }));

    server.Get("/api/palettes", guarded([](const Request &, Response &res) {
                   auto names = nlohmann::json::array();
                   for (const auto name : kPaletteNames)
                       names.push_back(name);
                   reply(res, 200, {{"palettes", names}, {"default", kPaletteNames[kDefaultPalette]}});
               }));
}

void serve_readings(httplib::Server &server, ViewContext &ctx)
{
    server.Get("/api/status", guarded([&ctx](const Request &, Response &res) {
                   reply(res, 200, status_json(ctx.feed.status(), ctx.hub.followers()));
               }));

    server.Get("/api/temperature", guarded([&ctx](const Request &req, Response &res) {
                   const auto x = param(req, "x");
                   const auto y = param(req, "y");
                   if (!x || !y)
                       throw UsageError("give the pixel as ?x=X&y=Y");
                   const auto col = static_cast<uint32_t>(parse_integer(*x, "x", 0, kFrameWidth - 1));
                   const auto row = static_cast<uint32_t>(parse_integer(*y, "y", 0, kFrameHeight - 1));
                   std::shared_ptr<const ViewFrame> frame;
                   if (const auto number = param(req, "frame")) {
                       frame = ctx.hub.find(static_cast<uint32_t>(parse_integer(*number, "frame", 0, UINT32_MAX)));
                       if (!frame)
                           throw RequestError(kNotFound, "frame " + *number + " is no longer kept");
                   } else {
                       frame = newest_frame(ctx.hub);
                   }
                   nlohmann::json j = spot_json(frame->spot(col, row));
                   j["frame"] = frame->number;
                   if (!frame->has_temperatures())
                       j["error"] = "no temperatures: the camera's RBFO parameters could not be read";
                   reply(res, 200, j);
               }));
}

void serve_controls(httplib::Server &server)
{
    server.Post("/api/ffc", guarded_post([](const Request &req, Response &res, const std::string &) {
                    const bool rad = req.has_param("rad") && req.get_param_value("rad") != "0";
                    require_bridge();
                    const char *what = rad ? "the radiometric flat-field correction" : "the flat-field correction";
                    check_command(rad ? LEP3_RunRadFFC() : LEP3_RunSysFFCNormalization(), what);
                    reply(res, 200, {{"done", what}});
                }));

    server.Get("/api/settings", guarded([](const Request &, Response &res) {
                   require_bridge();
                   auto list = nlohmann::json::array();
                   bool silent = false;
                   for (const Setting &s : kSettings) {
                       nlohmann::json j = setting_json(s);
                       // A silent bridge would make each further read wait out its reply time.
                       if (silent)
                           j["error"] = "not read: the bridge did not answer an earlier read";
                       else
                           silent = read_setting(s, j) == -2;
                       list.push_back(std::move(j));
                   }
                   reply(res, 200, {{"settings", list}});
               }));

    server.Post(R"(/api/settings/([^/]+))",
                guarded_post([](const Request &req, Response &res, const std::string &body) {
                    const std::string name = req.matches[1];
                    const Setting *s = find_setting(name);
                    if (s == nullptr)
                        throw RequestError(kNotFound, "unknown setting '" + name + "'");
                    if (s->set == nullptr)
                        throw UsageError(name + " can be read but not set");
                    // The value as a form field (value=1) or as the whole body.
                    httplib::Params form;
                    if (req.get_header_value("Content-Type").starts_with("application/x-www-form-urlencoded"))
                        httplib::detail::parse_query_text(body, form);
                    std::string text = req.has_param("value")     ? req.get_param_value("value")
                                       : form.count("value") != 0 ? form.find("value")->second
                                                                  : body;
                    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
                        text.pop_back();
                    const int64_t value = parse_setting_value(*s, text);
                    require_bridge();
                    const int r = s->set(value);
                    if (r == kSettingOutOfRange)
                        throw UsageError(out_of_range_message(*s, text));
                    check_command(r, "setting " + name);
                    nlohmann::json j = setting_json(*s);
                    read_setting(*s, j);
                    reply(res, 200, j);
                }));
}

// Paths that change the camera or take a snapshot need the token off loopback.
bool needs_token(const Request &req)
{
    return req.method != "GET" || req.path == "/frame.png" || req.path == "/raw.png";
}

// Another site's page in the user's browser can send requests here as well; the browser
// names that site in Origin. Without a token (on loopback) a site can also reach the
// viewer under a name of its own that it makes resolve to this machine (DNS rebinding),
// so there the Host must be a loopback name too. Scripts send neither header.
bool from_another_site(const Request &req, bool loopback)
{
    const std::string host = req.get_header_value("Host");
    if (loopback && !host.empty() && !is_loopback_host(host))
        return true;
    const std::string origin = req.get_header_value("Origin");
    return !origin.empty() && origin != "http://" + host;
}

std::string token_of(const Request &req)
{
    constexpr std::string_view kBearer = "Bearer ";
    const std::string auth = req.get_header_value("Authorization");
    if (auth.starts_with(kBearer))
        return auth.substr(kBearer.size());
    return req.has_param("token") ? req.get_param_value("token") : std::string();
}

} // namespace

void add_routes(httplib::Server &server, ViewContext &ctx)
{
    server.set_pre_routing_handler([&ctx](const Request &req, Response &res) {
        if (needs_token(req) && from_another_site(req, ctx.token.empty())) {
            reply_error(res, kForbidden, "requests from pages of other sites are refused");
            return HandlerResponse::Handled;
        }
        if (ctx.token.empty() || !needs_token(req) || token_matches(token_of(req), ctx.token))
            return HandlerResponse::Unhandled;
        res.set_header("WWW-Authenticate", "Bearer");
        reply_error(res, kUnauthorized,
                    "this needs the viewer's access token: open the address that lep3 view printed, with its token");
        return HandlerResponse::Handled;
    });
    // Paths that don't exist, and bodies httplib refuses, answer in the same JSON.
    server.set_error_handler(httplib::Server::HandlerWithResponse([](const Request &, Response &res) {
        if (!res.body.empty())
            return HandlerResponse::Unhandled;
        reply_error(res, res.status,
                    res.status == kNotFound ? "no such path"
                                            : "refused with HTTP status " + std::to_string(res.status));
        return HandlerResponse::Handled;
    }));
    server.set_exception_handler([](const Request &, Response &res, std::exception_ptr) {
        reply_error(res, kServerError, "the request failed inside the viewer");
    });

    serve_page(server);
    serve_pictures(server, ctx);
    serve_readings(server, ctx);
    serve_controls(server);
}

} // namespace lep3tool::serve
