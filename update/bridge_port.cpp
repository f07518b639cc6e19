// The serial descriptors the update opens for itself: the bootloader's device during a
// transfer and the restarted firmware's device afterwards.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <utility>

#include "update/update_internal.h"

namespace lep3::update {

Fd open_either(const char *first, const char *second, Fd &zero_hold)
{
    for (const char *path : {first, second}) {
        Fd port(open_uart(path));
        if (is_open(port))
            return port;
        if (port.get() == 0)
            zero_hold = std::move(port);
    }
    return Fd();
}

void flush_port(const Fd &port)
{
    tcflush(port.get(), TCIOFLUSH);
}

ssize_t read_reply(const Fd &port, std::span<uint8_t> buf, std::chrono::milliseconds limit)
{
    pollfd pfd{port.get(), POLLIN, 0};
    const auto limit_ms = static_cast<int>(limit.count());
    int ready = 0;
    do {
        ready = poll(&pfd, 1, limit_ms);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return 0;
    return read(port.get(), buf.data(), buf.size());
}

} // namespace lep3::update
