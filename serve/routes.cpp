#include "serve/routes.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "hostkit/args.h"
#include "hostkit/frame_pictures.h"
#include "hostkit/result_text.h"
#include "hostkit/settings.h"
#include "hostkit/thermography.h"
#include "lep3.h"
#include "names/palettes.h"
#include "serve/access_token.h"
#include "serve/event_stream.h"
#include "serve/metrics.h"
#include "serve/page_assets.h"
#include "serve/request_checks.h"
#include "serve/view_json.h"
#include "thermo/alarm.h"
#include "thermo/readings_json.h"
#include "thermo/region_text.h"

namespace lep3tool::serve {

namespace {

constexpr int kBadRequest = 400;
constexpr int kUnauthorized = 401;
constexpr int kForbidden = 403;
constexpr int kNotFound = 404;
constexpr int kCreated = 201;
constexpr int kTooManyRequests = 429;
constexpr int kServerError = 500;
constexpr int kBadGateway = 502;
constexpr int kUnavailable = 503;
constexpr int kGatewayTimeout = 504;

constexpr const char *kJson = "application/json";
constexpr const char *kPng = "image/png";
// The page loads its script, stylesheet and pictures from here and talks only to here;
// pictures also come as data: URLs. No page may frame it.
constexpr const char *kContentPolicy = "default-src 'none'; script-src 'self'; style-src 'self'; "
                                       "img-src 'self' data: blob:; connect-src 'self'; frame-ancestors 'none'; "
                                       "base-uri 'none'; form-action 'none'";

// A request the client got wrong, with its status and the sentence it reads.
class RequestError : public std::runtime_error {
  public:
    RequestError(int status, const std::string &message) : std::runtime_error(message), status_(status) {}
    int status() const { return status_; }

  private:
    int status_;
};

void add_safety_headers(HttpResponse &res)
{
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Content-Security-Policy", kContentPolicy);
    res.set_header("X-Content-Type-Options", "nosniff");
}

HttpResponse json_answer(int status, const nlohmann::json &body)
{
    HttpResponse res;
    res.status = status;
    res.content_type = kJson;
    res.set_header("Cache-Control", "no-store");
    res.body = json_text(body);
    return res;
}

HttpResponse png_answer(std::string png, const std::string &filename)
{
    HttpResponse res;
    res.content_type = kPng;
    res.body = std::move(png);
    res.set_header("Cache-Control", "no-store");
    if (!filename.empty())
        res.set_header("Content-Disposition", "inline; filename=\"" + filename + "\"");
    return res;
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

PictureStyle style_of(const HttpRequest &req, bool with_range)
{
    const auto palette = req.param("palette");
    if (palette && !palette->empty())
        check_name(*palette, "palette");
    const auto range = with_range ? req.param("range") : std::nullopt;
    if (range && !range->empty())
        check_range_text(*range);
    PictureStyle style = parse_picture_style(palette, range);
    if (const auto band = req.param("isotherm"); band && !band->empty()) {
        constexpr size_t kLongestBand = 32;
        if (band->size() > kLongestBand)
            throw UsageError("isotherm takes LOW:HIGH in degrees, not '" + shown(*band) + "'");
        style.isotherm = parse_isotherm_band(*band);
    }
    return style;
}

HttpResponse page_file(const HttpRequest &req)
{
    for (const PageAsset &asset : page_assets()) {
        if (asset.path == req.path) {
            HttpResponse res;
            res.content_type = asset.content_type;
            res.body = asset.body;
            res.set_header("Cache-Control", "no-cache");
            return res;
        }
    }
    throw RequestError(kNotFound, "no such path");
}

HttpResponse stream(const HttpRequest &req, ViewContext &ctx)
{
    const PictureStyle style = style_of(req, true);
    ClientSlots::Refusal why{};
    auto slot = ctx.followers.take(req.client, why);
    if (!slot)
        throw RequestError(why == ClientSlots::Refusal::address ? kTooManyRequests : kUnavailable,
                           why == ClientSlots::Refusal::address
                               ? "too many streams to this address already; close one first"
                               : "the viewer follows as many streams as it can; try again later");
    HttpResponse res;
    res.content_type = "text/event-stream";
    res.set_header("Cache-Control", "no-store");
    res.stream = event_stream(style, ctx.hub, ctx.feed, ctx.pictures, std::move(*slot));
    return res;
}

HttpResponse frame_png(const HttpRequest &req, ViewContext &ctx)
{
    const PictureStyle style = style_of(req, true);
    const auto frame = newest_frame(ctx.hub);
    const auto picture = ctx.pictures.make(*frame, style);
    HttpResponse res = png_answer(picture->png, "frame-" + std::to_string(frame->number) + ".png");
    if (!picture->range_warning.empty())
        res.set_header("Lep3-Warning", picture->range_warning);
    return res;
}

HttpResponse raw_png(ViewContext &ctx)
{
    const auto frame = newest_frame(ctx.hub);
    float fpa = 0;
    const bool have_fpa = LEP3_GetLinkState() == LEP3_LINK_UP && LEP3_GetSysFpaTemperatureCelcius(&fpa) == 0;
    std::string png = encode_png_gray16(frame->raw, kFrameWidth, kFrameHeight,
                                        raw_picture_text(frame->number, frame->taken,
                                                         have_fpa ? std::optional<float>(fpa) : std::nullopt,
                                                         frame->rbfo, frame->rbfo_set, ctx.feed.provenance()),
                                        kRawSignificantBits);
    return png_answer(std::move(png), "frame-" + std::to_string(frame->number) + "-raw16.png");
}

HttpResponse palettes()
{
    auto names = nlohmann::json::array();
    for (const auto name : lep3::names::kPaletteNames)
        names.push_back(name);
    return json_answer(200,
                       {{"palettes", names}, {"default", lep3::names::kPaletteNames[lep3::names::kDefaultPalette]}});
}

HttpResponse temperature(const HttpRequest &req, ViewContext &ctx)
{
    const auto x = req.param("x");
    const auto y = req.param("y");
    if (!x || !y)
        throw UsageError("give the pixel as ?x=X&y=Y");
    const auto col = static_cast<uint32_t>(parse_decimal(*x, "x", 0, kFrameWidth - 1));
    const auto row = static_cast<uint32_t>(parse_decimal(*y, "y", 0, kFrameHeight - 1));
    std::shared_ptr<const ViewFrame> frame;
    if (const auto number = req.param("frame")) {
        frame = ctx.hub.find(static_cast<uint32_t>(parse_decimal(*number, "frame", 0, UINT32_MAX)));
        if (!frame)
            throw RequestError(kNotFound, "frame " + *number + " is no longer kept");
    } else {
        frame = newest_frame(ctx.hub);
    }
    nlohmann::json j = spot_json(frame->spot(col, row));
    j["frame"] = frame->number;
    if (!frame->has_temperatures())
        j["error"] = "no temperatures: the camera's RBFO parameters could not be read";
    return json_answer(200, j);
}

HttpResponse ffc(const HttpRequest &req)
{
    const auto rad_param = req.param("rad");
    const bool rad = rad_param && parse_decimal(*rad_param, "rad", 0, 1) == 1;
    require_bridge();
    const char *what = rad ? "the radiometric flat-field correction" : "the flat-field correction";
    check_command(rad ? LEP3_RunRadFFC() : LEP3_RunSysFFCNormalization(), what);
    return json_answer(200, {{"done", what}});
}

HttpResponse settings()
{
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
    return json_answer(200, {{"settings", list}});
}

HttpResponse set_setting(const HttpRequest &req, std::string_view name)
{
    check_name(name, "setting");
    const Setting *s = find_setting(std::string(name));
    if (s == nullptr)
        throw RequestError(kNotFound, "unknown setting '" + std::string(name) + "'");
    if (s->set == nullptr)
        throw UsageError(std::string(name) + " can be read but not set");
    const std::string text = setting_text(req.param("value").value_or(req.body), name);
    const int64_t value = parse_setting_value(*s, text);
    require_bridge();
    const int r = s->set(value);
    if (r == kSettingOutOfRange)
        throw UsageError(out_of_range_message(*s, text));
    check_command(r, "setting " + std::string(name));
    nlohmann::json j = setting_json(*s);
    read_setting(*s, j);
    return json_answer(200, j);
}

// The sentence of a thermography parser, which quotes what it refused in full: cut to a
// length an answer quotes, and printable, as every refusal is.
UsageError refused(const std::invalid_argument &e)
{
    constexpr size_t kLongest = 160;
    std::string what = e.what();
    const bool cut = what.size() > kLongest;
    what.resize(std::min(what.size(), kLongest));
    std::replace_if(
        what.begin(), what.end(), [](char c) { return c < ' ' || c > '~'; }, '?');
    return UsageError(cut ? what + "..." : what);
}

// A body that must be one JSON object with only the keys given.
nlohmann::json json_object_body(const HttpRequest &req, std::initializer_list<std::string_view> keys)
{
    nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object())
        throw UsageError("the body must be a JSON object");
    for (const auto &[key, value] : body.items())
        if (std::find(keys.begin(), keys.end(), key) == keys.end())
            throw UsageError("unknown key '" + shown(key) + "'");
    return body;
}

int coordinate(const nlohmann::json &body, const char *key, int hi)
{
    if (!body.contains(key))
        throw UsageError(std::string("give ") + key);
    const nlohmann::json &v = body.at(key);
    if (!v.is_number_integer() || v.get<int64_t>() < 0 || v.get<int64_t>() > hi)
        throw UsageError(std::string(key) + " must be a whole number from 0 to " + std::to_string(hi));
    return v.get<int>();
}

HttpResponse regions(ViewContext &ctx)
{
    const auto setup = ctx.thermo.setup();
    std::vector<lep3_region_stats_t> readings;
    if (const auto frame = ctx.hub.newest(); frame && frame->has_temperatures())
        readings = measure_regions(frame->celsius, setup->regions);
    return json_answer(200, {{"regions", regions_json(setup.get(), readings)}});
}

HttpResponse add_region(const HttpRequest &req, ViewContext &ctx)
{
    const nlohmann::json body = json_object_body(req, {"name", "kind", "x0", "y0", "x1", "y1"});
    if (!body.contains("kind") || !body.at("kind").is_string())
        throw UsageError("give the kind: spot, box or line");
    const std::string kind_name = body.at("kind").get<std::string>();
    int kind = -1;
    for (const int k : {LEP3_REGION_SPOT, LEP3_REGION_BOX, LEP3_REGION_LINE})
        if (lep3::thermo::region_kind_name(k) == kind_name)
            kind = k;
    if (kind < 0)
        throw UsageError("the kind is spot, box or line, not '" + shown(kind_name) + "'");
    std::string name;
    if (body.contains("name")) {
        if (!body.at("name").is_string())
            throw UsageError("the name must be a string");
        name = body.at("name").get<std::string>();
    }
    std::string text = std::to_string(coordinate(body, "x0", kFrameWidth - 1)) + "," +
                       std::to_string(coordinate(body, "y0", kFrameHeight - 1));
    if (kind == LEP3_REGION_SPOT) {
        if (body.contains("x1") || body.contains("y1"))
            throw UsageError("a spot is one pixel: give x0 and y0 only");
    } else {
        text += "," + std::to_string(coordinate(body, "x1", kFrameWidth - 1)) + "," +
                std::to_string(coordinate(body, "y1", kFrameHeight - 1));
    }
    try {
        // The tool's judge of names and coordinates; an empty name is the viewer's to choose.
        const auto parsed = lep3::thermo::parse_region(kind, name.empty() ? text : name + "=" + text, 1);
        const auto added = ctx.thermo.add_region(kind, name, parsed.region);
        return json_answer(kCreated, region_definition_json(added));
    } catch (const std::invalid_argument &e) {
        throw refused(e);
    }
}

HttpResponse delete_region(std::string_view name, ViewContext &ctx)
{
    check_name(name, "region");
    if (!ctx.thermo.remove_region(std::string(name)))
        throw RequestError(kNotFound, "no region named '" + shown(name) + "'");
    return json_answer(200, {{"deleted", std::string(name)}});
}

HttpResponse object(ViewContext &ctx)
{
    return json_answer(200, object_parameters_json(ctx.thermo.setup()->object));
}

HttpResponse set_object(const HttpRequest &req, ViewContext &ctx)
{
    const nlohmann::json body = json_object_body(
        req, {"emissivity", "reflected_c", "air_c", "humidity", "distance_m", "window_transmission", "window_c"});
    constexpr const char *kRanges = "object parameters out of range: emissivity and window_transmission take "
                                    "0.01..1, humidity 0..1, distance_m 0..10000, temperatures -100..2000";
    constexpr double kFar = 1e9; // beyond every range, and within a float's
    lep3_object_params_t p = ctx.thermo.setup()->object;
    const std::pair<const char *, float *> fields[] = {
        {"emissivity", &p.emissivity}, {"reflected_c", &p.reflected_c}, {"air_c", &p.air_c},
        {"humidity", &p.humidity},     {"distance_m", &p.distance_m},   {"window_transmission", &p.window_transmission},
        {"window_c", &p.window_c},
    };
    for (const auto &[key, field] : fields) {
        if (!body.contains(key))
            continue;
        if (!body.at(key).is_number())
            throw UsageError(std::string(key) + " must be a number");
        const double v = body.at(key).get<double>();
        if (!(std::fabs(v) < kFar))
            throw UsageError(kRanges);
        *field = static_cast<float>(v);
    }
    // The library is the judge of the ranges: one conversion of an empty frame.
    static const std::vector<uint16_t> probe(kFramePixels, 0);
    std::vector<float> out(kFramePixels);
    if (LEP3_RawToObjectCelsius(probe.data(), out.data(), 1, 0, &p) != 0)
        throw UsageError(kRanges);
    ctx.thermo.set_object(p);
    return json_answer(200, object_parameters_json(p));
}

HttpResponse alarms(ViewContext &ctx)
{
    return json_answer(200,
                       {{"alarms", alarms_json(ctx.thermo.alarms())}, {"hysteresis_c", ctx.thermo.hysteresis_c()}});
}

HttpResponse add_alarm(const HttpRequest &req, ViewContext &ctx)
{
    std::string text = req.param("rule").value_or(req.body);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    constexpr size_t kLongestRule = 200;
    if (text.empty() || text.size() > kLongestRule ||
        std::any_of(text.begin(), text.end(), [](char c) { return c < ' ' || c > '~'; }))
        throw UsageError("give one rule of printable text, as in box1>60C for 2s");
    try {
        return json_answer(kCreated, alarm_json(ctx.thermo.add_alarm(lep3::thermo::parse_alarm(text))));
    } catch (const std::invalid_argument &e) {
        throw refused(e);
    }
}

HttpResponse delete_alarm(std::string_view id, ViewContext &ctx)
{
    const auto number = static_cast<uint64_t>(parse_decimal(id, "alarm", 1, INT64_MAX));
    if (!ctx.thermo.remove_alarm(number))
        throw RequestError(kNotFound, "no alarm " + std::to_string(number));
    return json_answer(200, {{"deleted", number}});
}

// The NAME of PREFIX/NAME, when the path is that and NAME is one non-empty segment.
std::optional<std::string_view> item_of(const std::string &path, std::string_view prefix)
{
    if (!path.starts_with(prefix) || path.size() == prefix.size() || path.find('/', prefix.size()) != std::string::npos)
        return std::nullopt;
    return std::string_view(path).substr(prefix.size());
}

HttpResponse route(const HttpRequest &req, ViewContext &ctx)
{
    const std::string &p = req.path;
    constexpr std::string_view kSettingPrefix = "/api/settings/";
    if (req.method == "GET") {
        if (p == "/api/stream")
            return stream(req, ctx);
        if (p == "/frame.png")
            return frame_png(req, ctx);
        if (p == "/raw.png")
            return raw_png(ctx);
        if (p == "/palette.png")
            return png_answer(palette_png(style_of(req, false).palette), "");
        if (p == "/api/palettes")
            return palettes();
        if (p == "/api/status") {
            nlohmann::json j = status_json(ctx.feed.status(), ctx.hub.followers());
            j["alarms"] = alarms_json(ctx.thermo.alarms());
            return json_answer(200, j);
        }
        if (p == "/api/regions")
            return regions(ctx);
        if (p == "/api/object")
            return object(ctx);
        if (p == "/api/alarms")
            return alarms(ctx);
        if (p == "/api/temperature")
            return temperature(req, ctx);
        if (p == "/api/settings")
            return settings();
        if (p == "/metrics")
            return metrics_answer(ctx);
        return page_file(req);
    }
    if (req.method == "HEAD")
        return page_file(req);
    if (req.method == "POST") {
        if (p == "/api/ffc")
            return ffc(req);
        if (p == "/api/regions")
            return add_region(req, ctx);
        if (p == "/api/object")
            return set_object(req, ctx);
        if (p == "/api/alarms")
            return add_alarm(req, ctx);
        if (p.starts_with(kSettingPrefix) && p.size() > kSettingPrefix.size() &&
            p.find('/', kSettingPrefix.size()) == std::string::npos)
            return set_setting(req, std::string_view(p).substr(kSettingPrefix.size()));
    }
    if (req.method == "DELETE") {
        if (const auto name = item_of(p, "/api/regions/"))
            return delete_region(*name, ctx);
        if (const auto id = item_of(p, "/api/alarms/"))
            return delete_alarm(*id, ctx);
    }
    throw RequestError(kNotFound, "no such path");
}

// Refusals before any route: pages of other sites, and a missing token.
std::optional<HttpResponse> refusal(const HttpRequest &req, const ViewContext &ctx)
{
    if (from_another_site(req, ctx.token.empty()))
        return error_answer(kForbidden, "requests from pages of other sites are refused");
    if (ctx.token.empty() || is_page_file(req) || token_matches(token_of(req), ctx.token))
        return std::nullopt;
    HttpResponse res = error_answer(
        kUnauthorized, "this needs the viewer's access token: open the address that lep3 view printed, with its token");
    res.set_header("WWW-Authenticate", "Bearer");
    return res;
}

} // namespace

HttpResponse error_answer(int status, const std::string &message)
{
    HttpResponse res = json_answer(status, {{"error", message}});
    add_safety_headers(res);
    return res;
}

HttpResponse answer(const HttpRequest &req, ViewContext &ctx)
{
    if (auto refused = refusal(req, ctx))
        return std::move(*refused);
    try {
        HttpResponse res = route(req, ctx);
        add_safety_headers(res);
        return res;
    } catch (const RequestError &e) {
        return error_answer(e.status(), e.what());
    } catch (const UsageError &e) {
        return error_answer(kBadRequest, e.what());
    } catch (const std::exception &e) {
        return error_answer(kServerError, e.what());
    }
}

} // namespace lep3tool::serve
