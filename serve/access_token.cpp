#include "serve/access_token.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "hostkit/text_format.h"

namespace lep3tool::serve {

std::string make_token()
{
    std::array<unsigned char, 16> bytes{};
    size_t have = 0;
    while (have < bytes.size()) {
        const ssize_t n = getrandom(bytes.data() + have, bytes.size() - have, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::runtime_error(std::string("no random numbers for the access token: ") + std::strerror(errno));
        have += static_cast<size_t>(n);
    }
    std::string token;
    for (const unsigned char b : bytes)
        token += format_text("%02x", b);
    return token;
}

std::string read_token_file(const std::string &path)
{
    std::ifstream in(path);
    std::string token;
    if (!in || !std::getline(in, token))
        throw std::runtime_error("cannot read the access token from " + path);
    if (!token.empty() && token.back() == '\r')
        token.pop_back();
    constexpr size_t kShortest = 16;
    constexpr size_t kLongest = 128;
    const auto unreserved = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
               c == '_' || c == '~';
    };
    if (token.size() < kShortest || token.size() > kLongest || !std::all_of(token.begin(), token.end(), unreserved))
        throw std::runtime_error("the access token in " + path +
                                 " must be one line of 16 to 128 letters, digits, '-', '.', '_' or '~' "
                                 "(openssl rand -hex 16 makes one)");
    return token;
}

bool is_loopback(std::string_view address)
{
    const std::string a(address);
    if (a == "localhost")
        return true;
    in_addr v4{};
    if (inet_pton(AF_INET, a.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, a.c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6);
    return false;
}

bool is_loopback_host(std::string_view host)
{
    if (host.starts_with("[")) {
        const size_t end = host.find(']');
        return end != std::string_view::npos && is_loopback(host.substr(1, end - 1));
    }
    return is_loopback(host.substr(0, host.find(':')));
}

bool token_matches(std::string_view given, std::string_view token)
{
    return given.size() == token.size() && !token.empty() &&
           CRYPTO_memcmp(given.data(), token.data(), token.size()) == 0;
}

} // namespace lep3tool::serve
