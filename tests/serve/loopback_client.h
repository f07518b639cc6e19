// A TCP connection to a server on this machine, for what an HTTP library would not send:
// from a loopback address of the test's choosing (127.0.0.2 plays a hostile client,
// 127.0.0.1 the legitimate one), with a small receive buffer so that a reader that pauses
// really stops the server's writes, and closed by a reset like a browser's tab.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace lep3::test {

class LoopbackClient {
  public:
    explicit LoopbackClient(int port, const char *from = "127.0.0.1", int receive_buffer = 0)
    {
        const timeval limit{20, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        if (receive_buffer > 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        sockaddr_in me{};
        me.sin_family = AF_INET;
        inet_pton(AF_INET, from, &me.sin_addr);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = bind(fd_, reinterpret_cast<sockaddr *>(&me), sizeof me) == 0 &&
              connect(fd_, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
    }
    ~LoopbackClient() { close(fd_); }
    LoopbackClient(const LoopbackClient &) = delete;
    LoopbackClient &operator=(const LoopbackClient &) = delete;

    bool ok() const { return ok_; }
    // Bytes sent before the server stopped taking them.
    size_t send(const std::string &data)
    {
        size_t sent = 0;
        while (ok_ && sent < data.size()) {
            const ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += size_t(n);
        }
        return sent;
    }
    // The answer up to the server's closing (or the first `enough` bytes).
    std::string receive(size_t enough = SIZE_MAX)
    {
        std::string answer;
        char buf[4096];
        for (ssize_t n; answer.size() < enough && (n = read(fd_, buf, sizeof buf)) > 0;)
            answer.append(buf, size_t(n));
        return answer;
    }
    // True when the server has closed the connection within the time.
    bool closed_within(std::chrono::milliseconds limit)
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(limit.count())) <= 0)
            return false;
        char c;
        return recv(fd_, &c, 1, MSG_DONTWAIT) <= 0;
    }
    // Ends the connection with a reset, as a browser's closed tab may.
    void reset()
    {
        const linger now{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = socket(AF_INET, SOCK_STREAM, 0);
    bool ok_ = false;
};

// One request and the whole answer.
inline std::string exchange(int port, const std::string &request)
{
    LoopbackClient c(port);
    c.send(request);
    return c.receive();
}

} // namespace lep3::test
