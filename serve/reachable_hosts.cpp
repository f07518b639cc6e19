#include "serve/reachable_hosts.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

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

} // namespace

std::vector<std::string> reachable_hosts(const std::string &address)
{
    std::vector<std::string> hosts = {address};
    if (address == "0.0.0.0" || address == "::") {
        hosts = network_addresses(address == "::");
        if (hosts.empty())
            hosts = {address};
    }
    for (auto &host : hosts)
        host = url_host(host);
    return hosts;
}

} // namespace lep3tool::serve
