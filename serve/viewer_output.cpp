#include "serve/viewer_output.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

#include <vector>

#include "hostkit/console.h"
#include "serve/access_token.h"

namespace lep3tool::serve {

namespace {

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

} // namespace

ViewerOutput::ViewerOutput(FrameHub &hub, const FeedInfo &feed, ThermoSetup &thermo, const std::string &address,
                           int port, const ServiceLog &log, const std::string &token)
    : log_(log), address_(address), followers_(kStreamsPerAddress, kStreams),
      context_{hub,        feed,   pictures_,
               followers_, thermo, is_loopback(address) ? "" : (token.empty() ? make_token() : token)},
      server_(context_, address, port)
{
}

void ViewerOutput::start()
{
    server_.start();
    const auto urls = page_urls(address_, server_.port(), context_.token);
    const char *token_note = "Only those who have the address with its token can watch the camera or act on it.";
    if (log_.journal()) {
        // One message a line, each complete.
        for (const auto &url : urls)
            log_.say(kLogNotice, "the viewer is at %s", url.c_str());
        if (!context_.token.empty())
            log_.say(kLogNotice, "%s", token_note);
        return;
    }
    if (urls.size() == 1) {
        log_.say(kLogNotice, "open %s (Ctrl-C to stop)", urls[0].c_str());
    } else {
        log_.say(kLogNotice, "open one of these (Ctrl-C to stop):");
        for (const auto &url : urls)
            print("  %s\n", url.c_str());
    }
    if (!context_.token.empty())
        print("%s\n", token_note);
    flush_output();
}

void ViewerOutput::stop()
{
    server_.stop();
}

} // namespace lep3tool::serve
