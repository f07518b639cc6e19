// lep3 serve, the long-running service, and lep3 view, the service with the web viewer
// alone on the console: a web page with the live picture, temperatures and the camera's
// controls.
#include <chrono>
#include <csignal>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "hostkit/command.h"
#include "hostkit/command_support.h"
#include "hostkit/console.h"
#include "hostkit/library_messages.h"
#include "hostkit/signals.h"
#include "hostkit/thermography.h"
#include "serve/access_token.h"
#include "serve/camera_feed.h"
#include "serve/config_file.h"
#include "serve/frame_hub.h"
#include "serve/mqtt_output.h"
#include "serve/mqtt_settings.h"
#include "serve/notifier.h"
#include "serve/rtsp_output.h"
#include "serve/service.h"
#include "serve/service_log.h"
#include "serve/thermo_setup.h"
#include "serve/viewer_output.h"

namespace lep3tool {

namespace {

constexpr OptionDef kViewerOptions[] = {
    {"port", 'p', "N", "TCP port (default 8080; 0 takes any free port)"},
    {"bind", 'b', "ADDR", "address to listen on (default 127.0.0.1; 0.0.0.0 for every network)"},
    {"rbfo", 0, "SET", "the camera's RBFO parameters for temperatures: internal (default) or external"},
    {"alarm", 'a', "RULE", "an alarm on a region, e.g. 'box1>60C for 2s' or 'spot1<5C' (repeatable)"},
    {"hysteresis", 0, "T", "how far back past its limit a raised alarm's value must come to clear (default 0.5C)"},
    {"token-file", 0, "FILE", "off loopback, the access token from FILE instead of a new one at each start"},
};
constexpr auto kViewOptions = join_options(kViewerOptions, kObjectOptions, kRegionOptions);

constexpr OptionDef kServiceOptions[] = {
    {"config", 'c', "FILE", "read options from FILE, 'key = value' lines (the command line wins)"},
    {"watchdog-grace", 0, "S", "seconds without frames before the watchdog's pings stop (default 30)"},
    {"journal", 0, "", "log in the journal's form (the default when systemd gives it standard error)"},
};
constexpr OptionDef kRtspOptions[] = {
    {"rtsp-port", 0, "N", "also serve rtsp://HOST:N/lep3 (H.264) and /lep3/raw (raw frames); 0 takes any free port"},
    {"rtsp-palette", 0, "NAME", "the RTSP picture's palette (default ironblack)"},
    {"rtsp-range", 0, "RANGE", "the RTSP picture's range, as lep3 capture --range takes it (default auto)"},
    {"rtsp-isotherm", 0, "LOW:HIGH", "a grey RTSP picture with the temperatures in LOW..HIGH (35C:40C) in red"},
};
constexpr auto kServeOptions =
    join_options(kViewerOptions, kObjectOptions, kRegionOptions, kServiceOptions, kRtspOptions, serve::kMqttOptions);

constexpr int kDefaultPort = 8080;
constexpr const char *kDefaultAddress = "127.0.0.1";
constexpr double kDefaultGraceSeconds = 30;
constexpr double kLongestGraceSeconds = 86400;

// The regions, object parameters and alarms the service starts with; throws UsageError.
serve::MeasureSetup initial_setup(const ParsedArgs &args, std::vector<lep3::thermo::AlarmRule> &rules,
                                  double &hysteresis_c)
{
    serve::MeasureSetup setup;
    const ObjectSettings object = parse_object_settings(args);
    setup.object = object.params;
    setup.object_given = object.given;
    setup.regions = parse_regions(args);
    if (setup.regions.size() > serve::kMaxRegions)
        throw UsageError("the viewer keeps " + std::to_string(serve::kMaxRegions) + " regions at most");
    try {
        for (const std::string &text : args.values("alarm"))
            rules.push_back(lep3::thermo::parse_alarm(text));
        if (auto h = args.value("hysteresis"))
            hysteresis_c = lep3::thermo::parse_hysteresis(*h);
    } catch (const std::invalid_argument &e) {
        throw UsageError(e.what());
    }
    return setup;
}

// Runs the service until a stop signal; the log is the command's.
int run_service(const ParsedArgs &args, const serve::ServiceLog &log, std::chrono::milliseconds grace)
{
    if (!args.positionals().empty())
        throw UsageError("this command takes no arguments");
    const int port =
        args.value("port") ? static_cast<int>(parse_integer(*args.value("port"), "--port", 0, 65535)) : kDefaultPort;
    const std::string address = args.value("bind").value_or(kDefaultAddress);
    if (address.empty())
        throw UsageError("--bind needs an address");
    const auto rtsp = serve::rtsp_settings(args, address);
    const RbfoSet rbfo_set = args.value("rbfo") ? parse_rbfo_set(*args.value("rbfo")) : RbfoSet::internal;
    std::vector<lep3::thermo::AlarmRule> rules;
    double hysteresis_c = lep3::thermo::kDefaultHysteresisC;
    std::optional<serve::ThermoSetup> thermo;
    try {
        thermo.emplace(initial_setup(args, rules, hysteresis_c), rules, hysteresis_c);
    } catch (const std::invalid_argument &e) {
        throw UsageError(std::string(e.what()) + ": define it with --spot, --box or --line");
    }
    const auto mqtt = serve::parse_mqtt_settings(args);

    std::string token;
    if (const auto file = args.value("token-file")) {
        try {
            token = serve::read_token_file(*file);
        } catch (const std::runtime_error &e) {
            throw UsageError(e.what());
        }
    }

    Session session(session_options(args));
    serve::FrameHub hub;
    serve::Notifier notifier(session.device(), grace, log);
    serve::CameraFeed feed(hub, rbfo_set, *thermo);
    serve::Service service(hub, feed, notifier, log);
    service.add(std::make_unique<serve::ViewerOutput>(hub, feed, *thermo, address, port, log, token));
    if (rtsp)
        service.add(serve::make_rtsp_output(hub, *rtsp, log));
    if (mqtt)
        service.add(serve::make_mqtt_output(hub, feed, *thermo, *mqtt, session.device(), log));
    return service.run();
}

int run_serve(const ParsedArgs &command_line)
{
    // A service outlives hang-ups: of its bridge's port, of a terminal it was started from;
    // and a log whose reader went away (the journal restarted) does not end it.
    keep_running_on_hangup();
    (void)std::signal(SIGPIPE, SIG_IGN);
    // The journal's form from the first line, a mistake in the configuration's included,
    // unless only the configuration asks for it.
    std::optional<serve::ServiceLog> log;
    if (command_line.has("journal") || serve::stderr_is_journal())
        log.emplace("serve", true);
    ParsedArgs args = command_line;
    const auto config = command_line.value("config");
    const bool config_found = config && serve::merge_config_file(*config, kServeOptions, args);
    if (!log)
        log.emplace("serve", args.has("journal"));
    // The library's messages belong in a service's log; from a shell, with --verbose.
    route_library_messages(!args.has("quiet") && (log->journal() || args.has("verbose")));
    double grace = kDefaultGraceSeconds;
    if (args.value("watchdog-grace")) {
        grace = parse_number(*args.value("watchdog-grace"), "--watchdog-grace");
        if (grace <= 0 || grace > kLongestGraceSeconds)
            throw UsageError("--watchdog-grace is in seconds, more than 0 and at most a day");
    }
    if (config && !config_found)
        log->say(kLogNotice, "no configuration file at %s: the defaults hold", config->c_str());
    return run_service(args, *log,
                       std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(grace)));
}

int run_view(const ParsedArgs &args)
{
    const serve::ServiceLog log("view", false);
    return run_service(
        args, log,
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(kDefaultGraceSeconds)));
}

} // namespace

// extern: the tool's table of commands names it, from another file.
extern const Command kServeCommand = {
    "serve",
    "[--port N] [--bind ADDR] [--token-file FILE] [--rbfo SET] [--config FILE] [--watchdog-grace S] [--journal] "
    "[--spot|--box|--line [NAME=]X0,Y0[,X1,Y1] ...] [--alarm RULE ...] [--hysteresis T] [--emissivity E ...] "
    "[--mqtt URL [--mqtt-topic PREFIX] [--mqtt-interval S] [--mqtt-commands] [--mqtt-discovery] ...] "
    "[--rtsp-port N [--rtsp-palette NAME] [--rtsp-range RANGE] [--rtsp-isotherm LOW:HIGH]]",
    "run the long-running service for one camera: web viewer, HTTP API, MQTT, RTSP and metrics",
    "Stays with the camera until SIGTERM or Ctrl-C, through unplugs, re-plugs and SIGHUP\n"
    "(which it logs and ignores). It always serves the web viewer of `lep3 view`: the page,\n"
    "its HTTP paths and /metrics for Prometheus (see the README), on 127.0.0.1 unless --bind\n"
    "says otherwise, with an access token when bound off loopback. With --mqtt it also\n"
    "publishes its state, measurements, alarms and health to an MQTT broker; with\n"
    "--rtsp-port it serves the picture and the raw frames over RTSP. Under systemd\n"
    "(Type=notify) it reports ready once the first frame has arrived, keeps the watchdog fed\n"
    "while frames flow, and says what it does in its status. It starts with the regions,\n"
    "alarms and object parameters given (as lep3 watch takes them); the page and the API\n"
    "change them while it runs. Every option is also a key of the --config file; a\n"
    "repeatable one takes each of its lines.",
    kServeOptions,
    run_serve,
};

// extern: the tool's table of commands names it, from another file.
extern const Command kViewCommand = {
    "view",
    "[--port N] [--bind ADDR] [--token-file FILE] [--rbfo SET] [--spot|--box|--line [NAME=]X0,Y0[,X1,Y1] ...] "
    "[--alarm RULE ...] "
    "[--hysteresis T] [--emissivity E ...]",
    "serve a web page with the live picture, temperatures and the camera's controls",
    "Open the printed address in a browser: the live picture in any palette, the temperature\n"
    "under the pointer, the scene's minimum, maximum and centre, flat-field correction, the\n"
    "camera's settings, and snapshots (the files `lep3 capture` writes). Scripts use the same\n"
    "HTTP paths (see the README). It listens on 127.0.0.1 unless --bind says otherwise; then\n"
    "it prints an address with an access token, which everything but the page itself needs.\n"
    "Spots, boxes and lines drawn on the picture (or given with --spot, --box, --line) show\n"
    "their readings live; --alarm rules on them show on the page when raised.",
    kViewOptions,
    run_view,
};

} // namespace lep3tool
