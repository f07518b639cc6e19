// The bootloader exchange against a bootloader whose every answer comes from the input.
// A socket pair stands in for the bootloader's device. Every reply the transfer reads
// follows one of its fixed pauses, so the pause does the bootloader's part instead of
// sleeping: it discards what the host sent and answers with the next piece of the input,
// and hangs up once the input is used up, so the host's next read ends at once. No thread,
// no sleep, and the same input always gives the same exchange.
//
// Whatever the answers, the exchange must end with 0 or -1, never read or write outside
// its buffers, and close its descriptor.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "update/update_internal.h"

namespace {

struct Bootloader {
    int end = -1; // our end of the pair
    std::span<const uint8_t> script;
};
Bootloader bootloader;

void hang_up()
{
    if (bootloader.end >= 0)
        close(bootloader.end);
    bootloader.end = -1;
}

// Answers from the script: before each answer one byte gives its length (1..8).
void answer(std::chrono::milliseconds /*pause*/)
{
    if (bootloader.end < 0)
        return;
    uint8_t sent[256];
    while (recv(bootloader.end, sent, sizeof sent, MSG_DONTWAIT) > 0) {
    }
    if (bootloader.script.empty()) {
        hang_up();
        return;
    }
    const size_t length = 1 + bootloader.script[0] % 8;
    const auto piece = bootloader.script.subspan(1).first(std::min(length, bootloader.script.size() - 1));
    bootloader.script = bootloader.script.subspan(1 + piece.size());
    if (piece.empty() || send(bootloader.end, piece.data(), piece.size(), MSG_NOSIGNAL) < 0)
        hang_up();
}

bool set_up()
{
    // A write after the hang-up fails with EPIPE, as one to a vanished device fails.
    std::signal(SIGPIPE, SIG_IGN);
    LEP3_SetMessageHandler(nullptr, nullptr);
    lep3::update::set_transfer_pause(answer);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = set_up();
    if (!ready || size < 2)
        return 0;
    // The first byte sizes the image (1..256 bytes, so both full and short blocks occur);
    // the rest is the bootloader's script.
    std::vector<uint8_t> image(1 + data[0]);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 37);

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        std::abort();
    bootloader = {pair[1], std::span(data + 1, size - 1)};
    const int host = pair[0];
    const int result = lep3::update::exchange_with_bootloader(lep3::link::Fd(host), image);
    hang_up();

    if (result != 0 && result != -1)
        std::abort();
    if (fcntl(host, F_GETFD) != -1)
        std::abort(); // the exchange left its descriptor open
    return 0;
}
