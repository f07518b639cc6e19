#include "serve/view_server.h"

#include <microhttpd.h>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "hostkit/signals.h"
#include "serve/http_exchange.h"

namespace lep3tool::serve {

namespace {

using Clock = std::chrono::steady_clock;

// A connection with nothing sent or received for this long is dropped: an idle kept-alive
// connection, or a browser that takes no data (its page reconnects).
constexpr unsigned kIdleSeconds = 3;
// A body refused for its size is read and dropped up to this much, so the client reads
// the answer; a longer one ends the connection.
constexpr size_t kDiscardMax = size_t{1024} * 1024;
// The kernel's buffer for each connection's outgoing data (accepted sockets inherit the
// listening socket's). Small, so a browser that stops reading holds back the server's
// next write after a frame or two, and gets the newest frame when it reads again,
// instead of a second's worth of old ones waiting in the buffer.
constexpr int kSendBuffer = 32 * 1024;
// Room for a burst of connections, so that a flood of them does not make the kernel drop a
// legitimate client's first packet (which it would send again only after a second).
constexpr int kBacklog = SOMAXCONN;
// Connection threads run the routes: PNG encoding and JSON, nothing deep.
constexpr size_t kThreadStack = size_t{1024} * 1024;
constexpr size_t kStreamBlock = size_t{16} * 1024;
constexpr std::chrono::milliseconds kSweepInterval{100};
constexpr int kPayloadTooLarge = 413;

// One request on a connection, from its first line to its answer.
struct RequestState {
    std::string target;
    bool begun = false; // the headers are in
    std::string body;
    size_t discarded = 0; // bytes of a body refused for its size
};

// One long answer being sent.
struct StreamState {
    ChunkSource source;
    std::string pending;
};

class Listener {
  public:
    Listener(const std::string &address, int port)
    {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
        addrinfo *found = nullptr;
        if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
            return;
        for (const addrinfo *a = found; a != nullptr && fd_ < 0; a = a->ai_next) {
            const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
            if (fd < 0)
                continue;
            const int on = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, kBacklog) == 0)
                fd_ = fd;
            else
                close(fd);
        }
        freeaddrinfo(found);
        sockaddr_storage bound{};
        socklen_t size = sizeof bound;
        if (fd_ >= 0 && getsockname(fd_, reinterpret_cast<sockaddr *>(&bound), &size) == 0)
            port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port
                                                      : reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
    }
    ~Listener()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    int fd() const { return fd_; }
    int port() const { return port_; }
    // The server owns the socket from now on.
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_ = -1;
    int port_ = 0;
};

// Connections waiting for a request's headers, and when they must have them all. A
// client that sends a header line now and then keeps a connection busy for ever
// otherwise; past the deadline its socket is shut down, which ends the connection.
class HeaderDeadlines {
  public:
    void waiting(MHD_Connection *c, int fd)
    {
        const std::lock_guard lock(mutex_);
        entries_[c] = Entry{fd, Clock::now() + kHeaderDeadline, true};
    }
    void waiting_again(MHD_Connection *c)
    {
        const std::lock_guard lock(mutex_);
        if (const auto it = entries_.find(c); it != entries_.end()) {
            it->second.deadline = Clock::now() + kHeaderDeadline;
            it->second.waiting = true;
        }
    }
    void arrived(MHD_Connection *c)
    {
        const std::lock_guard lock(mutex_);
        if (const auto it = entries_.find(c); it != entries_.end())
            it->second.waiting = false;
    }
    void closed(MHD_Connection *c)
    {
        const std::lock_guard lock(mutex_);
        entries_.erase(c);
    }

    void start()
    {
        thread_ = std::thread([this] { sweep(); });
    }
    void stop()
    {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

  private:
    struct Entry {
        int fd;
        Clock::time_point deadline;
        bool waiting;
    };

    void sweep()
    {
        std::unique_lock lock(mutex_);
        while (!wake_.wait_for(lock, kSweepInterval, [this] { return stopping_; })) {
            const auto now = Clock::now();
            // The socket stays open until the connection's closing is noted here, which
            // waits for this lock: the descriptor can't be another's yet.
            for (auto &[c, e] : entries_) {
                if (e.waiting && now > e.deadline) {
                    shutdown(e.fd, SHUT_RDWR);
                    e.waiting = false;
                }
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<MHD_Connection *, Entry> entries_;
    bool stopping_ = false;
    std::thread thread_;
};

std::string client_address(MHD_Connection *c)
{
    const MHD_ConnectionInfo *info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr)
        return {};
    const socklen_t size = info->client_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    char host[NI_MAXHOST];
    if (getnameinfo(info->client_addr, size, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
        return {};
    return host;
}

MHD_Result add_header(void *cls, MHD_ValueKind, const char *key, size_t key_size, const char *value, size_t value_size)
{
    static_cast<Fields *>(cls)->emplace_back(std::string(key, key_size),
                                             value == nullptr ? std::string() : std::string(value, value_size));
    return MHD_YES;
}

ssize_t read_stream(void *cls, uint64_t, char *buf, size_t max)
{
    auto &s = *static_cast<StreamState *>(cls);
    while (s.pending.empty())
        if (!s.source(s.pending))
            return MHD_CONTENT_READER_END_OF_STREAM;
    const size_t n = std::min(max, s.pending.size());
    std::copy_n(s.pending.data(), n, buf);
    s.pending.erase(0, n);
    return static_cast<ssize_t>(n);
}

void free_stream(void *cls)
{
    delete static_cast<StreamState *>(cls);
}

MHD_Result send_answer(MHD_Connection *c, HttpResponse res)
{
    MHD_Response *r = nullptr;
    if (res.stream)
        r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamBlock, read_stream,
                                              new StreamState{std::move(res.stream), {}}, free_stream);
    else
        r = MHD_create_response_from_buffer(res.body.size(), res.body.data(), MHD_RESPMEM_MUST_COPY);
    if (r == nullptr)
        return MHD_NO;
    if (!res.content_type.empty())
        MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, res.content_type.c_str());
    for (const auto &[name, value] : res.headers)
        MHD_add_response_header(r, name.c_str(), value.c_str());
    const MHD_Result queued = MHD_queue_response(c, static_cast<unsigned>(res.status), r);
    MHD_destroy_response(r);
    return queued;
}

HttpResponse too_large()
{
    return error_answer(kPayloadTooLarge,
                        "the body is larger than the viewer takes (" + std::to_string(kMaxBody) + " bytes at most)");
}

} // namespace

struct ViewServer::Impl {
    ViewContext &context;
    Listener listener;
    HeaderDeadlines deadlines;
    MHD_Daemon *daemon = nullptr;

    Impl(ViewContext &c, const std::string &address, int port) : context(c), listener(address, port) {}

    static void *on_uri(void *, const char *uri, MHD_Connection *)
    {
        auto *state = new RequestState;
        state->target = uri == nullptr ? "" : uri;
        return state;
    }

    static void on_connection(void *cls, MHD_Connection *c, void **, MHD_ConnectionNotificationCode code)
    {
        auto &self = *static_cast<Impl *>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            const MHD_ConnectionInfo *info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
            if (info != nullptr)
                self.deadlines.waiting(c, info->connect_fd);
        } else {
            self.deadlines.closed(c);
        }
    }

    static void on_completed(void *cls, MHD_Connection *c, void **con_cls, MHD_RequestTerminationCode)
    {
        delete static_cast<RequestState *>(*con_cls);
        *con_cls = nullptr;
        // A kept-alive connection waits for the next request's headers.
        static_cast<Impl *>(cls)->deadlines.waiting_again(c);
    }

    static MHD_Result on_request(void *cls, MHD_Connection *c, const char *url, const char *method, const char *,
                                 const char *upload, size_t *upload_size, void **con_cls)
    {
        auto &self = *static_cast<Impl *>(cls);
        auto *state = static_cast<RequestState *>(*con_cls);
        if (state == nullptr) {
            state = new RequestState;
            state->target = url;
            *con_cls = state;
        }
        if (!state->begun) {
            state->begun = true;
            self.deadlines.arrived(c);
            // A body announced too large is refused before a byte of it is read.
            const char *length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
            if (length != nullptr && (std::strlen(length) > 9 || std::strtoull(length, nullptr, 10) > kMaxBody))
                return send_answer(c, too_large());
            return MHD_YES;
        }
        if (*upload_size > 0) {
            // However the body is framed, no more than kMaxBody of it is kept.
            if (state->discarded == 0 && state->body.size() + *upload_size <= kMaxBody)
                state->body.append(upload, *upload_size);
            else
                state->discarded += *upload_size;
            *upload_size = 0;
            return state->discarded > kDiscardMax ? MHD_NO : MHD_YES;
        }
        if (state->discarded > 0)
            return send_answer(c, too_large());

        HttpRequest req;
        req.method = method;
        parse_target(state->target, req);
        MHD_get_connection_values_n(c, MHD_HEADER_KIND, add_header, &req.headers);
        req.body = std::move(state->body);
        add_form_fields(req);
        req.client = client_address(c);
        HttpResponse res = answer(req, self.context);
        // However long the answer took to make, the client was not idle meanwhile.
        MHD_set_connection_option(c, MHD_CONNECTION_OPTION_TIMEOUT, 0U);
        MHD_set_connection_option(c, MHD_CONNECTION_OPTION_TIMEOUT, kIdleSeconds);
        return send_answer(c, std::move(res));
    }
};

ViewServer::ViewServer(ViewContext &context, const std::string &address, int port)
    : impl_(std::make_unique<Impl>(context, address, port))
{
    if (impl_->listener.fd() < 0)
        throw std::runtime_error("cannot listen on " + address + " port " + std::to_string(port) +
                                 " (is the port taken, or the address not this machine's?)");
    port_ = impl_->listener.port();
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
    Impl &i = *impl_;
    i.daemon = MHD_start_daemon(MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL, 0,
                                nullptr, nullptr, &Impl::on_request, &i, MHD_OPTION_LISTEN_SOCKET, i.listener.fd(),
                                MHD_OPTION_CONNECTION_LIMIT, kConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
                                kConnectionsPerAddress, MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
                                MHD_OPTION_THREAD_STACK_SIZE, kThreadStack, MHD_OPTION_URI_LOG_CALLBACK, &Impl::on_uri,
                                &i, MHD_OPTION_NOTIFY_CONNECTION, &Impl::on_connection, &i, MHD_OPTION_NOTIFY_COMPLETED,
                                &Impl::on_completed, &i, MHD_OPTION_END);
    if (i.daemon == nullptr)
        throw std::runtime_error("the web server could not start");
    i.listener.release();
    i.deadlines.start();
}

void ViewServer::stop()
{
    if (impl_->daemon == nullptr)
        return;
    MHD_stop_daemon(impl_->daemon);
    impl_->daemon = nullptr;
    impl_->deadlines.stop();
}

bool ViewServer::running() const
{
    return impl_->daemon != nullptr;
}

} // namespace lep3tool::serve
