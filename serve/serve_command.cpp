// lep3 serve, the long-running service, and lep3 view, the service with the web viewer
// alone: a web page with the live picture, temperatures and the camera's controls.
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "serve/access_token.h"
#include "serve/camera_feed.h"
#include "serve/frame_hub.h"
#include "serve/picture.h"
#include "serve/view_server.h"
#include "tools/command_support.h"
#include "tools/commands.h"
#include "tools/console.h"
#include "tools/signals.h"

namespace lep3tool {

namespace {

constexpr OptionDef kOptions[] = {
    {"port", 'p', "N", "TCP port (default 8080; 0 takes any free port)"},
    {"bind", 'b', "ADDR", "address to listen on (default 127.0.0.1; 0.0.0.0 for every network)"},
    {"rbfo", 0, "SET", "the camera's RBFO parameters for temperatures: internal (default) or external"},
};

constexpr int kDefaultPort = 8080;
constexpr const char *kDefaultAddress = "127.0.0.1";
constexpr std::chrono::milliseconds kStopPoll{100};

std::string url_host(const std::string &address)
{
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

// The addresses a browser elsewhere can use for a server bound to every address.
std::vector<std::string> network_addresses(bool ipv6)
{
    std::vector<std::string> found;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return found;
    for (const ifaddrs *a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || (a->ifa_flags & IFF_LOOPBACK) != 0 || (a->ifa_flags & IFF_UP) == 0)
            continue;
        const int family = a->ifa_addr->sa_family;
        if (family != AF_INET && !(ipv6 && family == AF_INET6))
            continue;
        char host[NI_MAXHOST];
        const socklen_t size = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (getnameinfo(a->ifa_addr, size, host, sizeof host, nullptr, 0, NI_NUMERICHOST) == 0)
            found.emplace_back(host);
    }
    freeifaddrs(list);
    return found;
}

std::vector<std::string> page_urls(const std::string &address, int port, const std::string &token)
{
    std::vector<std::string> hosts = {address};
    if (address == "0.0.0.0" || address == "::") {
        hosts = network_addresses(address == "::");
        if (hosts.empty())
            hosts = {address};
    }
    std::vector<std::string> urls;
    for (const auto &host : hosts)
        urls.push_back("http://" + url_host(host) + ":" + std::to_string(port) + "/" +
                       (token.empty() ? "" : "?token=" + token));
    return urls;
}

// Runs the service until a stop signal; name is the command's, for its messages.
int run_service(const ParsedArgs &args, const char *name)
{
    if (!args.positionals().empty())
        throw UsageError(std::string(name) + " takes no arguments");
    const int port =
        args.value("port") ? static_cast<int>(parse_integer(*args.value("port"), "--port", 0, 65535)) : kDefaultPort;
    const std::string address = args.value("bind").value_or(kDefaultAddress);
    if (address.empty())
        throw UsageError("--bind needs an address");
    const RbfoSet rbfo_set = args.value("rbfo") ? parse_rbfo_set(*args.value("rbfo")) : RbfoSet::internal;
    const std::string token = serve::is_loopback(address) ? std::string() : serve::make_token();

    Session session(session_options(args));
    serve::FrameHub hub;
    serve::CameraFeed feed(hub, rbfo_set);
    serve::PictureMaker pictures;
    serve::ClientSlots followers(serve::kStreamsPerAddress, serve::kStreams);
    serve::ViewContext context{hub, feed, pictures, followers, token};
    serve::ViewServer server(context, address, port);
    server.start();

    const auto urls = page_urls(address, server.port(), token);
    if (urls.size() == 1) {
        print("lep3 %s: open %s (Ctrl-C to stop)\n", name, urls[0].c_str());
    } else {
        print("lep3 %s: open one of these (Ctrl-C to stop):\n", name);
        for (const auto &url : urls)
            print("  %s\n", url.c_str());
    }
    if (!token.empty())
        print("Only those who have the address with its token can watch the camera or act on it.\n");
    flush_output();

    while (!stop_requested() && server.running())
        std::this_thread::sleep_for(kStopPoll);
    // Followers first, so that the server's threads can end; then the server, which
    // releases the port; the feed and the session go as the scope closes.
    hub.close();
    server.stop();
    if (!stop_requested()) {
        error("the web server stopped unexpectedly");
        return kExitFailure;
    }
    print("lep3 %s: stopped\n", name);
    return kExitOk;
}

int run_serve(const ParsedArgs &args)
{
    return run_service(args, "serve");
}

int run_view(const ParsedArgs &args)
{
    return run_service(args, "view");
}

} // namespace

const Command kServeCommand = {
    "serve",
    "[--port N] [--bind ADDR] [--rbfo SET]",
    "run the long-running service for one camera: for now the web viewer and its HTTP API",
    "Stays with the camera until stopped, through unplugs and re-plugs. Its output today is\n"
    "the web viewer of `lep3 view`: the page and its HTTP paths (see the README), on\n"
    "127.0.0.1 unless --bind says otherwise, with an access token when bound off loopback.",
    kOptions,
    run_serve,
};

const Command kViewCommand = {
    "view",
    "[--port N] [--bind ADDR] [--rbfo SET]",
    "serve a web page with the live picture, temperatures and the camera's controls",
    "Open the printed address in a browser: the live picture in any palette, the temperature\n"
    "under the pointer, the scene's minimum, maximum and centre, flat-field correction, the\n"
    "camera's settings, and snapshots (the files `lep3 capture` writes). Scripts use the same\n"
    "HTTP paths (see the README). It listens on 127.0.0.1 unless --bind says otherwise; then\n"
    "it prints an address with an access token, which everything but the page itself needs.",
    kOptions,
    run_view,
};

} // namespace lep3tool
