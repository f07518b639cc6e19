#include "sim/bridge_sim.h"

#include <poll.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <future>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>

#include "sim/bootloader.h"
#include "sim/camera_core.h"
#include "sim/checksums.h"
#include "sim/pty_device.h"
#include "sim/replay.h"
#include "sim/request_reader.h"
#include "sim/video.h"

namespace lep3::sim {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kReadPollMs = 20; // how often the reader looks for a stop or a new device
constexpr size_t kReadChunk = 4096;
constexpr size_t kFrameChunk = 4096;  // frames go out in pieces of this size
constexpr int kSplitPieceMax = 97;    // split writes: pieces of 1 to this many bytes
constexpr int kSplitPausePieces = 16; // ... with a short pause after about one piece in this many
constexpr auto kSplitPause = 50us;
constexpr auto kByteByBytePause = 2ms; // a reply split across writes
constexpr int kGarbageMax = 12;
constexpr auto kIdleWake = 1s;
constexpr auto kSendWait = 5s; // send_raw and send_reset_notice wait this long at most
constexpr auto kModePoll = 5ms;

// Restart into the bootloader: the application device goes shortly after its reply (the
// host has read it by then) and the bootloader's appears a little later.
constexpr auto kRestartDeviceGoes = 100ms;
constexpr auto kBootloaderAppears = 300ms;
// Boot: the bootloader's device goes after its acknowledgement; the application's comes
// back well within the 2 s the host waits before it looks.
constexpr auto kBootDeviceGoes = 300ms;
constexpr auto kApplicationReturns = 600ms;

constexpr uint8_t kStatusOk = 0;
constexpr uint8_t kStatusFailed = 0x01;
constexpr size_t kReplyHead = 3;                    // ID and type, counted by the length byte
constexpr size_t kReplyDataMax = 0xFE - kReplyHead; // the length byte 0xFF announces a frame
constexpr uint8_t kTypeRun = 2;
constexpr size_t kUserRbfoBytes = 16;

std::vector<uint8_t> reply_packet(uint16_t id, uint8_t type, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> p;
    p.reserve(kReplyHead + data.size() + 4);
    for (uint8_t b : {kSync0, kSync1, static_cast<uint8_t>(kReplyHead + data.size()), static_cast<uint8_t>(id >> 8),
                      static_cast<uint8_t>(id), type})
        p.push_back(b);
    for (uint8_t b : data)
        p.push_back(b);
    p.push_back(crc8(p));
    append_idle_after_sync_check(p);
    return p;
}

const char *mode_name(Mode m)
{
    switch (m) {
    case Mode::app:
        return "application";
    case Mode::bootloader:
        return "bootloader";
    case Mode::gone:
        break;
    }
    return "gone";
}

} // namespace

struct BridgeSim::Impl {
    // Bytes (or an action) the writer thread sends when they are due; nothing else writes
    // to a device, so a reply never lands inside a frame packet.
    struct Outgoing {
        Clock::time_point due;
        uint64_t order = 0;
        uint64_t generation = 0; // the device the bytes are meant for
        std::vector<uint8_t> bytes;
        bool packet = true;        // garbage may go before it
        bool byte_by_byte = false; // one byte per write, with pauses
        bool erase_poll = false;
        std::function<void()> action; // runs after the bytes
        std::shared_ptr<std::promise<void>> done;
    };

    explicit Impl(Options o) : opts(std::move(o)), boot(opts.flash_size), rng(opts.seed) {}

    Options opts;

    mutable std::mutex mu;
    std::condition_variable wake;
    std::atomic<bool> stopping{false};
    // Bumped whenever the device changes; bytes meant for an older device are dropped.
    std::atomic<uint64_t> generation{0};
    std::atomic<uint64_t> frames_sent{0};

    // Guarded by mu.
    Faults faults;
    CameraCore core;
    Bootloader boot;
    RequestReader reader_framing;
    std::shared_ptr<PtyDevice> device;
    Mode mode = Mode::gone;
    bool unplugged = false;
    bool streaming = false;
    uint8_t stream_mode = kModeRaw;
    Clock::time_point next_frame;
    std::vector<Outgoing> queue;
    uint64_t next_order = 0;
    bool rbfo_write_after_boot = false;
    std::vector<std::vector<uint8_t>> request_log;
    std::vector<uint8_t> received_log;
    std::vector<uint8_t> boot_received_log;
    std::vector<uint32_t> corrupted;

    std::mt19937 rng;                       // writer thread only
    std::unique_ptr<Replay> replay;         // writer thread only, once the threads run
    std::array<uint16_t, kPixels> pixels{}; // writer thread only
    std::thread reader;
    std::thread writer;

    template <typename... Args> void say(const char *fmt, Args... args) const
    {
        if (!opts.verbose)
            return;
        // A message without arguments is no format (Debian builds with -Werror=format-security).
        if constexpr (sizeof...(Args) == 0)
            (void)std::fputs(fmt, stdout);
        else
            (void)std::printf(fmt, args...);
        (void)std::fflush(stdout);
    }

    // ---- devices -------------------------------------------------------------------

    // Caller holds mu.
    void install(std::shared_ptr<PtyDevice> dev, Mode m)
    {
        device = std::move(dev);
        mode = m;
        generation.fetch_add(1);
        streaming = false;
        reader_framing.reset();
        boot.reset_parser();
        say("%s device at %s (%s)\n", mode_name(m), device->link().c_str(), device->slave_name().c_str());
    }

    void go_away()
    {
        std::lock_guard lk(mu);
        if (device) {
            say("%s device at %s goes away\n", mode_name(mode), device->link().c_str());
            device->withdraw();
            device.reset();
        }
        mode = Mode::gone;
        generation.fetch_add(1);
        streaming = false;
    }

    void appear(Mode m, const std::string &path)
    {
        std::shared_ptr<PtyDevice> dev;
        try {
            dev = std::make_shared<PtyDevice>(path);
        } catch (const std::exception &e) {
            (void)std::fprintf(stderr, "bridge emulator: can't create %s: %s\n", path.c_str(), e.what());
            return;
        }
        std::lock_guard lk(mu);
        if (stopping || unplugged)
            return;
        install(std::move(dev), m);
        if (m == Mode::app) {
            // New firmware: the user RBFO set was lost with the old flash contents, and
            // only the host's write-back restores it.
            core.set_reg(cmd::kBridgeUserRbfo, std::vector<uint8_t>(kUserRbfoBytes, 0));
            rbfo_write_after_boot = true;
        }
    }

    // ---- outgoing ------------------------------------------------------------------

    // Caller holds mu.
    void enqueue(Outgoing out, Clock::duration delay = {})
    {
        out.due = Clock::now() + delay;
        out.order = next_order++;
        queue.push_back(std::move(out));
        wake.notify_all();
    }

    void enqueue_action(Clock::duration delay, std::function<void()> action)
    {
        Outgoing out;
        out.action = std::move(action);
        enqueue(std::move(out), delay);
    }

    // Queues bytes for the current device and waits until they have been written.
    void send_and_wait(std::unique_lock<std::mutex> &lk, std::vector<uint8_t> bytes, bool packet)
    {
        Outgoing out;
        out.generation = generation;
        out.bytes = std::move(bytes);
        out.packet = packet;
        out.done = std::make_shared<std::promise<void>>();
        auto written = out.done->get_future();
        enqueue(std::move(out));
        lk.unlock();
        written.wait_for(kSendWait);
    }

    bool keep_writing(uint64_t gen) const { return !stopping && generation == gen; }

    void write_garbage(const PtyDevice &dev, uint64_t gen)
    {
        std::uniform_int_distribution<int> count(1, kGarbageMax), value(0, 0xFE);
        std::vector<uint8_t> junk(count(rng));
        for (auto &b : junk) {
            b = static_cast<uint8_t>(value(rng));
            if (b == kSync0) // never a sync byte, so no packet can start inside it
                b = 0xFF;
        }
        dev.write_all(junk, [&] { return keep_writing(gen); });
    }

    // Writes one packet in the way the knobs ask for. False when it was cut off.
    bool write_packet(const PtyDevice &dev, uint64_t gen, std::span<const uint8_t> bytes, bool split, bool byte_by_byte,
                      size_t chunk)
    {
        auto go_on = [&] { return keep_writing(gen); };
        std::uniform_int_distribution<int> piece(1, kSplitPieceMax), pause(0, kSplitPausePieces - 1);
        while (!bytes.empty()) {
            size_t n = chunk;
            if (byte_by_byte)
                n = 1;
            else if (split)
                n = static_cast<size_t>(piece(rng));
            n = std::min(n, bytes.size());
            if (!dev.write_all(bytes.first(n), go_on))
                return false;
            bytes = bytes.subspan(n);
            if (byte_by_byte)
                std::this_thread::sleep_for(kByteByBytePause);
            else if (split && pause(rng) == 0)
                std::this_thread::sleep_for(kSplitPause);
        }
        return true;
    }

    void writer_loop()
    {
        std::vector<uint8_t> frame;
        for (;;) {
            std::unique_lock lk(mu);
            Outgoing job;
            bool have_job = false, do_frame = false;
            for (;;) {
                if (stopping)
                    return;
                const auto now = Clock::now();
                auto wake_at = now + kIdleWake;
                auto first = std::min_element(queue.begin(), queue.end(), [](const Outgoing &a, const Outgoing &b) {
                    return a.due != b.due ? a.due < b.due : a.order < b.order;
                });
                if (first != queue.end()) {
                    if (first->due <= now) {
                        job = std::move(*first);
                        queue.erase(first);
                        have_job = true;
                        break;
                    }
                    wake_at = std::min(wake_at, first->due);
                }
                if (streaming && mode == Mode::app && !faults.silent) {
                    if (next_frame <= now) {
                        do_frame = true;
                        break;
                    }
                    wake_at = std::min(wake_at, next_frame);
                }
                wake.wait_until(lk, wake_at);
            }
            const std::shared_ptr<PtyDevice> dev = device;
            const uint64_t gen = generation;
            const bool garbage = faults.garbage_between_packets, split = faults.split_writes;
            const uint32_t corrupt_every = faults.corrupt_frame_every;
            const uint8_t frame_mode = stream_mode;
            const Clock::time_point due = next_frame;
            if (do_frame) {
                const auto now = Clock::now();
                if (replay && !opts.replay_at_fps) {
                    next_frame = now; // until the recording says when the next one is due
                } else if (opts.fps > 0) {
                    const auto period =
                        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / opts.fps));
                    next_frame = std::max(next_frame + period, now);
                } else {
                    next_frame = now;
                }
            }
            lk.unlock();

            if (have_job) {
                if (dev && !job.bytes.empty() && job.generation == gen) {
                    if (garbage && job.packet)
                        write_garbage(*dev, gen);
                    write_packet(*dev, gen, job.bytes, split, job.byte_by_byte, job.bytes.size());
                }
                if (job.action)
                    job.action();
                if (job.done)
                    job.done->set_value();
            } else if (do_frame && dev) {
                const auto seq = static_cast<uint32_t>(frames_sent + 1);
                if (!take_frame(seq, due))
                    continue;
                build_frame_packet(frame_mode, seq, pixels.data(), frame);
                const bool corrupt = corrupt_every && seq % corrupt_every == 0;
                if (corrupt)
                    corrupt_frame(frame, frame_mode);
                if (garbage)
                    write_garbage(*dev, gen);
                if (write_packet(*dev, gen, frame, split, false, kFrameChunk)) {
                    frames_sent.fetch_add(1);
                    if (corrupt) {
                        std::lock_guard lk2(mu);
                        corrupted.push_back(seq);
                    }
                }
            }
        }
    }

    // The values of frame seq, due at due: the synthetic scene's, or the recording's next
    // frame with the registers it was recorded with. False when the recording has ended.
    bool take_frame(uint32_t seq, Clock::time_point due)
    {
        if (!replay) {
            BridgeSim::raw_frame(seq, pixels.data());
            return true;
        }
        const bool more = replay->next(pixels.data());
        std::lock_guard lk(mu);
        if (!more) {
            streaming = false;
            if (!replay->error().empty())
                (void)std::fprintf(stderr, "bridge emulator: %s; the replay stops\n", replay->error().c_str());
            else
                say("the recording has ended after %llu frames\n", static_cast<unsigned long long>(replay->frames()));
            return false;
        }
        if (!opts.replay_at_fps)
            next_frame = std::max(due + std::chrono::duration_cast<Clock::duration>(replay->interval()), Clock::now());
        const recording::PageInfo &page = replay->page();
        constexpr double kZeroCelsiusInKelvin = 273.15;
        if (page.fpa_celsius)
            core.set_reg(cmd::kSysFpaTemperature,
                         words16({static_cast<uint16_t>(
                             std::lround((static_cast<double>(*page.fpa_celsius) + kZeroCelsiusInKelvin) * 100))}));
        if (page.rbfo)
            core.set_reg(page.rbfo_set == "external" ? cmd::kRadRbfoExternal : cmd::kRadRbfoInternal,
                         words32({page.rbfo->r, page.rbfo->b, page.rbfo->f, page.rbfo->o}));
        if (const auto serial = replay->file().serial_number)
            core.set_reg(cmd::kSysSerialNumber,
                         words32({static_cast<uint32_t>(*serial), static_cast<uint32_t>(*serial >> 32)}));
        return true;
    }

    // Flips one pixel byte, away from the stamp in the first video packet.
    void corrupt_frame(std::vector<uint8_t> &frame, uint8_t frame_mode)
    {
        const int payload = frame_mode == kModeRaw ? kRawPayload : kRgbPayload;
        std::uniform_int_distribution<int> packet(1, kVideoPackets - 1), offset(0, payload - 1), flip(1, 0xFF);
        const size_t at = kFramePacketHead + static_cast<size_t>(packet(rng)) * (kVideoPacketHead + payload) +
                          kVideoPacketHead + static_cast<size_t>(offset(rng));
        frame[at] ^= static_cast<uint8_t>(flip(rng));
    }

    // ---- incoming ------------------------------------------------------------------

    void reader_loop()
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

    // Caller holds mu.
    void take_app_bytes(std::span<const uint8_t> bytes)
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

    // Caller holds mu.
    void serve(const Request &r)
    {
        std::vector<uint8_t> data;
        switch (r.kind) {
        case Request::Kind::unknown:
            return;
        case Request::Kind::video:
            if (!streaming || stream_mode != r.video_mode)
                say("streaming %s frames %s\n", r.video_mode == kModeRaw ? "raw" : "RGB", pace_text().c_str());
            streaming = true;
            stream_mode = r.video_mode;
            next_frame = Clock::now();
            wake.notify_all();
            return;
        case Request::Kind::get:
            data = core.get(r.id, size_t{2} * r.words, faults);
            break;
        case Request::Kind::set:
            if (r.id == cmd::kBridgeUserRbfo && std::exchange(rbfo_write_after_boot, false) &&
                faults.rbfo_write_fails) {
                data = {kStatusFailed};
                break;
            }
            core.set(r.id, r.payload);
            data = {kStatusOk};
            break;
        case Request::Kind::run:
            if (r.id == cmd::kBridgeVersion) {
                data = {static_cast<uint8_t>(opts.firmware_version), static_cast<uint8_t>(opts.firmware_version >> 8)};
            } else {
                core.run(r.id, faults);
                data = {kStatusOk};
            }
            break;
        }

        CommandFault fault;
        if (auto it = faults.commands.find(r.id); it != faults.commands.end())
            fault = it->second;
        if (fault.no_reply)
            return;
        if (fault.status >= 0)
            data = {static_cast<uint8_t>(fault.status)};
        if (fault.data_len_override >= 0)
            data.resize(std::min<size_t>(static_cast<size_t>(fault.data_len_override), kReplyDataMax), 0);
        const auto reply_id = static_cast<uint16_t>(fault.wrong_id ? r.id + 1 : r.id);

        Outgoing out;
        out.generation = generation;
        out.bytes = reply_packet(reply_id, r.type, data);
        out.byte_by_byte = fault.split_reply;
        const bool restart = r.kind == Request::Kind::run && r.id == cmd::kBridgeRestart && !fault.wrong_id &&
                             data.size() == 1 && data[0] == kStatusOk;
        if (restart)
            out.action = [this] { restart_into_bootloader(); };
        enqueue(std::move(out), std::chrono::milliseconds(fault.late_reply_ms));
    }

    std::string pace_text() const
    {
        char fps[32];
        (void)std::snprintf(fps, sizeof fps, "at %g fps", opts.fps);
        if (opts.replay.empty())
            return fps;
        return "of " + opts.replay + (opts.replay_at_fps ? std::string(" ") + fps : " at the recorded pace") +
               (opts.replay_loop ? ", in a loop" : "");
    }

    // Runs on the writer thread once the reply to 0x0402 is out.
    void restart_into_bootloader()
    {
        std::lock_guard lk(mu);
        say("restarting into the bootloader\n");
        streaming = false;
        enqueue_action(kRestartDeviceGoes, [this] { go_away(); });
        enqueue_action(kBootloaderAppears, [this] { appear(Mode::bootloader, opts.boot_path); });
    }

    // Caller holds mu.
    void take_boot_bytes(std::span<const uint8_t> bytes)
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
                if (const auto version = stamped_version(boot.programmed()))
                    opts.firmware_version = *version;
                enqueue_action(kBootDeviceGoes, [this] { go_away(); });
                if (!faults.app_never_returns)
                    enqueue_action(kApplicationReturns, [this] { appear(Mode::app, opts.path_after_boot); });
            }
        }
    }
};

void BridgeSim::unplug()
{
    std::weak_ptr<PtyDevice> closing;
    {
        std::lock_guard lk(impl_->mu);
        if (impl_->unplugged)
            return;
        impl_->unplugged = true;
        impl_->say("unplugged\n");
        // Answers, restarts and boots in flight die with the power.
        std::erase_if(impl_->queue, [](const Impl::Outgoing &o) { return !o.done; });
        closing = impl_->device;
    }
    impl_->go_away();
    // The reader and the writer drop their hold on the device within one of their polls;
    // the last one out closes it.
    const auto until = Clock::now() + kSendWait;
    while (!closing.expired() && Clock::now() < until)
        std::this_thread::sleep_for(kModePoll);
}

void BridgeSim::replug()
{
    std::shared_ptr<PtyDevice> dev;
    {
        std::lock_guard lk(impl_->mu);
        if (!impl_->unplugged)
            return;
    }
    dev = std::make_shared<PtyDevice>(impl_->opts.path); // throws like the constructor
    std::lock_guard lk(impl_->mu);
    if (!impl_->unplugged)
        return; // plugged meanwhile by another caller
    impl_->unplugged = false;
    impl_->core.power_on();
    impl_->say("plugged in again\n");
    impl_->install(std::move(dev), Mode::app);
}

bool BridgeSim::plugged() const
{
    std::lock_guard lk(impl_->mu);
    return !impl_->unplugged;
}

BridgeSim::BridgeSim(Options options)
{
    if (options.path.empty())
        throw std::invalid_argument("bridge emulator: no device path");
    if (options.boot_path.empty())
        options.boot_path = options.path + ".boot";
    if (options.path_after_boot.empty())
        options.path_after_boot = options.path;
    std::unique_ptr<Replay> replay;
    if (!options.replay.empty()) {
        replay = open_replay(options.replay, options.replay_loop);
        if (const auto version = replay->file().firmware_version)
            options.firmware_version = static_cast<uint16_t>(*version);
    }
    impl_ = std::make_unique<Impl>(std::move(options));
    impl_->replay = std::move(replay);
    {
        std::lock_guard lk(impl_->mu);
        impl_->install(std::make_shared<PtyDevice>(impl_->opts.path), Mode::app);
    }
    impl_->reader = std::thread([this] { impl_->reader_loop(); });
    impl_->writer = std::thread([this] { impl_->writer_loop(); });
}

BridgeSim::~BridgeSim()
{
    {
        std::lock_guard lk(impl_->mu);
        impl_->stopping = true;
        impl_->wake.notify_all();
    }
    impl_->reader.join();
    impl_->writer.join();
    std::lock_guard lk(impl_->mu);
    if (impl_->device)
        impl_->device->withdraw();
    impl_->device.reset();
}

const std::string &BridgeSim::path() const
{
    return impl_->opts.path;
}

Mode BridgeSim::mode() const
{
    std::lock_guard lk(impl_->mu);
    return impl_->mode;
}

bool BridgeSim::wait_mode(Mode m, int timeout_ms) const
{
    const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (mode() == m)
            return true;
        if (Clock::now() >= until)
            return false;
        std::this_thread::sleep_for(kModePoll);
    }
}

Faults BridgeSim::faults() const
{
    std::lock_guard lk(impl_->mu);
    return impl_->faults;
}

void BridgeSim::set_faults(const Faults &faults)
{
    std::lock_guard lk(impl_->mu);
    impl_->faults = faults;
    impl_->wake.notify_all();
}

void BridgeSim::send_reset_notice()
{
    std::unique_lock lk(impl_->mu);
    impl_->core.power_on();
    impl_->say("camera core reset\n");
    impl_->send_and_wait(lk, reply_packet(cmd::kResetNotice, kTypeRun, {kStatusOk}), true);
}

void BridgeSim::send_raw(std::span<const uint8_t> bytes)
{
    std::unique_lock lk(impl_->mu);
    impl_->send_and_wait(lk, std::vector<uint8_t>(bytes.begin(), bytes.end()), false);
}

std::vector<uint8_t> BridgeSim::reg(uint16_t id) const
{
    std::lock_guard lk(impl_->mu);
    return impl_->core.reg(id);
}

void BridgeSim::set_reg(uint16_t id, std::vector<uint8_t> bytes)
{
    std::lock_guard lk(impl_->mu);
    impl_->core.set_reg(id, std::move(bytes));
}

std::vector<std::vector<uint8_t>> BridgeSim::requests() const
{
    std::lock_guard lk(impl_->mu);
    return impl_->request_log;
}

std::vector<uint8_t> BridgeSim::received() const
{
    std::lock_guard lk(impl_->mu);
    return impl_->received_log;
}

std::vector<uint8_t> BridgeSim::boot_received() const
{
    std::lock_guard lk(impl_->mu);
    return impl_->boot_received_log;
}

size_t BridgeSim::crc_errors() const
{
    std::lock_guard lk(impl_->mu);
    return impl_->reader_framing.crc_errors();
}

void BridgeSim::clear_requests()
{
    std::lock_guard lk(impl_->mu);
    impl_->request_log.clear();
    impl_->received_log.clear();
    impl_->boot_received_log.clear();
    impl_->reader_framing.clear_errors();
}

size_t BridgeSim::request_count(uint16_t id) const
{
    constexpr size_t kIdAt = 3; // after AA 55 L
    std::lock_guard lk(impl_->mu);
    return static_cast<size_t>(std::count_if(impl_->request_log.begin(), impl_->request_log.end(), [id](const auto &p) {
        return p.size() > kIdAt + 2 && (p[kIdAt] << 8 | p[kIdAt + 1]) == id;
    }));
}

uint64_t BridgeSim::frames_sent() const
{
    return impl_->frames_sent;
}

std::vector<uint32_t> BridgeSim::corrupted_frames() const
{
    std::lock_guard lk(impl_->mu);
    return impl_->corrupted;
}

std::vector<uint8_t> BridgeSim::programmed_image() const
{
    std::lock_guard lk(impl_->mu);
    return impl_->boot.programmed();
}

} // namespace lep3::sim
