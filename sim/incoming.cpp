// The reader thread: takes the host's bytes from the current device and hands them to the
// program the bridge runs, the application firmware or the bootloader, logging them for
// the tests.
#include <poll.h>
#include <unistd.h>

#include "sim/bridge_sim_internal.h"
#include "sim/image_files.h"

namespace lep3::sim {

namespace {

using namespace std::chrono_literals;

constexpr int kReadPollMs = 20; // how often the reader looks for a stop or a new device
constexpr size_t kReadChunk = 4096;

// Boot: the bootloader's device goes after its acknowledgement; the application's comes
// back well within the 2 s the host waits before it looks.
constexpr auto kBootDeviceGoes = 300ms;
constexpr auto kApplicationReturns = 600ms;

} // namespace

void BridgeSim::Impl::reader_loop()
{
    std::vector<uint8_t> buf(kReadChunk);
    while (!stopping) {
        std::shared_ptr<PtyDevice> dev;
        uint64_t gen;
        {
            std::lock_guard lk(mu);
            dev = device;
            gen = generation;
        }
        if (!dev) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kReadPollMs));
            continue;
        }
        pollfd pfd{dev->master(), POLLIN, 0};
        if (::poll(&pfd, 1, kReadPollMs) <= 0)
            continue;
        if (!(pfd.revents & POLLIN)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kReadPollMs));
            continue;
        }
        const ssize_t n = ::read(dev->master(), buf.data(), buf.size());
        if (n <= 0)
            continue;
        std::lock_guard lk(mu);
        if (gen != generation)
            continue;
        const std::span<const uint8_t> bytes(buf.data(), static_cast<size_t>(n));
        if (mode == Mode::app)
            take_app_bytes(bytes);
        else if (mode == Mode::bootloader)
            take_boot_bytes(bytes);
    }
}

void BridgeSim::Impl::take_app_bytes(std::span<const uint8_t> bytes)
{
    received_log.insert(received_log.end(), bytes.begin(), bytes.end());
    for (uint8_t b : bytes) {
        auto packet = reader_framing.feed(b);
        if (!packet)
            continue;
        request_log.push_back(*packet);
        if (!faults.silent)
            serve(decode_request(*packet));
    }
}

void BridgeSim::Impl::take_boot_bytes(std::span<const uint8_t> bytes)
{
    boot_received_log.insert(boot_received_log.end(), bytes.begin(), bytes.end());
    for (uint8_t b : bytes) {
        Bootloader::Outcome outcome = boot.feed(b, faults);
        if (!outcome.command)
            continue;
        // The host has moved on: answers still pending for erase polls are void.
        std::erase_if(queue, [](const Outgoing &o) { return o.erase_poll; });
        if (faults.silent)
            continue;
        for (Timed &t : outcome.replies) {
            Outgoing out;
            out.generation = generation;
            out.bytes = std::move(t.bytes);
            out.packet = false;
            out.erase_poll = t.erase_poll;
            enqueue(std::move(out), std::chrono::milliseconds(t.delay_ms));
        }
        if (outcome.boot) {
            say("booting the application (%zu bytes programmed)\n", boot.programmed().size());
            // The image file's first line names the version; an image whose file isn't
            // found may name it in its body.
            auto version = image_file_version(boot.programmed(), opts.image_paths);
            if (!version)
                version = stamped_version(boot.programmed());
            if (version)
                opts.firmware_version = *version;
            enqueue_action(kBootDeviceGoes, [this] { go_away(); });
            if (!faults.app_never_returns)
                enqueue_action(kApplicationReturns, [this] { appear(Mode::app, opts.path_after_boot); });
        }
    }
}

} // namespace lep3::sim
