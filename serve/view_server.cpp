#include "serve/view_server.h"

#include <sys/socket.h>

#include <chrono>
#include <stdexcept>

#include "tools/signals.h"

namespace lep3tool::serve {

namespace {

// Threads for connections: followers keep one each, and a browser opens a few more for
// the page and its requests.
constexpr size_t kThreads = 48;
// An idle kept-alive connection holds a thread; let it go soon, which also bounds how
// long stop() waits for it.
constexpr time_t kKeepAliveSeconds = 2;
constexpr size_t kKeepAliveRequests = 1000;
// A browser that takes no data for this long is dropped (its page reconnects).
constexpr time_t kWriteTimeoutSeconds = 3;
// Values and settings are short; nothing the viewer takes needs more.
constexpr size_t kMaxBody = 4096;
constexpr std::chrono::milliseconds kStartPoll{2};
// The kernel's buffer for each connection's outgoing data (accepted sockets inherit the
// listening socket's). Small, so a browser that stops reading holds back the server's
// next write after a frame or two, and gets the newest frame when it reads again,
// instead of a second's worth of old ones waiting in the buffer.
constexpr int kSendBuffer = 32 * 1024;

void socket_options(socket_t fd)
{
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
}

} // namespace

ViewServer::ViewServer(ViewContext &context, const std::string &address, int port)
{
    server_.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    server_.set_keep_alive_timeout(kKeepAliveSeconds);
    server_.set_keep_alive_max_count(kKeepAliveRequests);
    server_.set_write_timeout(kWriteTimeoutSeconds, 0);
    server_.set_payload_max_length(kMaxBody);
    server_.set_tcp_nodelay(true);
    // Instead of httplib's defaults, which let a second server share the port.
    server_.set_socket_options(socket_options);
    add_routes(server_, context);
    if (port == 0) {
        port_ = server_.bind_to_any_port(address);
    } else if (server_.bind_to_port(address, port)) {
        port_ = port;
    }
    if (port_ <= 0)
        throw std::runtime_error("cannot listen on " + address + " port " + std::to_string(port) +
                                 " (is the port taken, or the address not this machine's?)");
}

ViewServer::~ViewServer()
{
    stop();
}

void ViewServer::start()
{
    // The stop signals stay with the main thread; every thread the server starts
    // inherits this mask.
    const SignalsBlocked blocked;
    thread_ = std::thread([this] {
        server_.listen_after_bind();
        finished_.store(true);
    });
}

void ViewServer::stop()
{
    if (!thread_.joinable())
        return;
    // httplib's stop acts only once the listening loop runs, and must be called once:
    // wait for the loop, unless it has already ended by itself.
    while (!server_.is_running() && !finished_.load())
        std::this_thread::sleep_for(kStartPoll);
    if (!finished_.load())
        server_.stop();
    thread_.join();
}

bool ViewServer::running() const
{
    return !finished_.load();
}

} // namespace lep3tool::serve
