// The viewer's HTTP server: bound at construction, so a taken port is an error before
// anything else starts, then serving on a thread of its own until stopped. Each
// browser that follows the picture holds one of the server's threads for as long as it
// stays, so the pool is sized for several browsers and their other requests.
#pragma once

#include <httplib.h>

#include <atomic>
#include <string>
#include <thread>

#include "serve/routes.h"

namespace lep3tool::serve {

class ViewServer {
  public:
    // port 0 takes any free port. Throws std::runtime_error when the address can't be
    // bound.
    ViewServer(ViewContext &context, const std::string &address, int port);
    ~ViewServer();
    ViewServer(const ViewServer &) = delete;
    ViewServer &operator=(const ViewServer &) = delete;

    int port() const { return port_; }
    // Serves on its own thread until stop().
    void start();
    // Stops listening, ends every open response, and joins the thread; the port is free
    // afterwards. Idempotent.
    void stop();
    // False once the server stopped by itself (its listening socket failed).
    bool running() const;

  private:
    httplib::Server server_;
    int port_ = 0;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

} // namespace lep3tool::serve
