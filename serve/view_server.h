// The viewer's HTTP server (libmicrohttpd): bound at construction, so a taken port is an
// error before anything else starts, then serving until stopped. Each connection has a
// thread of its own, so a browser that follows the picture or a slow camera command holds
// up nobody else; what one client address, or all together, may hold is bounded:
// connections per address and in all, a deadline for a request's headers, an idle time
// after which a connection is dropped, and a cap on every request body however it is
// framed.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "serve/routes.h"

namespace lep3tool::serve {

// Open connections one client address may hold, and all clients together.
constexpr unsigned kConnectionsPerAddress = 16;
constexpr unsigned kConnections = 256;
// Followers of the event stream per address and in all (each is one open connection).
constexpr unsigned kStreamsPerAddress = 8;
constexpr unsigned kStreams = 64;
// A request's line and headers must be complete this soon after the connection opened or
// the previous answer ended.
constexpr std::chrono::seconds kHeaderDeadline{3};
// Values and settings are short; nothing the viewer takes needs more.
constexpr size_t kMaxBody = 4096;

class ViewServer {
  public:
    // port 0 takes any free port. Throws std::runtime_error when the address can't be
    // bound.
    ViewServer(ViewContext &context, const std::string &address, int port);
    ~ViewServer();
    ViewServer(const ViewServer &) = delete;
    ViewServer &operator=(const ViewServer &) = delete;

    int port() const { return port_; }
    // Serves on threads of its own until stop(). Throws std::runtime_error when the
    // server can't start.
    void start();
    // Stops listening, ends every connection and joins their threads; the port is free
    // afterwards. Idempotent. Open event streams end once the hub is closed.
    void stop();
    // False once the server has stopped.
    bool running() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

} // namespace lep3tool::serve
