// Settling the line before the parser's first byte.
//
// A bridge streams on after its host has gone, so the next host to open the port meets it
// in the middle of a frame. Pixel bytes there can hold a sync pair, and the hunt would
// take what follows for a reply: one that answers nobody, or one that stands in for the
// answer to the host's first request. Frames come in bursts with the line quiet between
// them, so the bytes that arrive before the line has been quiet for a moment (the rest of
// a frame the host never asked for) are passed over, and the parser starts on a packet's
// first byte.
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>

#include "lep3.h"
#include "link/link_internal.h"
#include "session/session_internal.h"

namespace lep3::session {

namespace {

constexpr int kQuietMs = 20;                                  // no byte for this long: between packets
constexpr auto kSettleLimit = std::chrono::milliseconds(300); // a line never quiet is taken as it is

} // namespace

void settle_line()
{
    const auto limit = std::chrono::steady_clock::now() + kSettleLimit;
    std::array<uint8_t, 4096> passed_over{};
    while (std::chrono::steady_clock::now() < limit) {
        pollfd line{uart_fd, POLLIN, 0};
        const int ready = poll(&line, 1, kQuietMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || (line.revents & POLLIN) == 0)
            return; // quiet, or nothing more to read from this descriptor
        const ssize_t n = read(uart_fd, passed_over.data(), passed_over.size());
        if (n <= 0)
            return;
        link::bump(link::link_counters.bytes_read, static_cast<uint64_t>(n));
        link::bump(link::link_counters.bytes_dropped, static_cast<uint64_t>(n));
    }
}

} // namespace lep3::session
