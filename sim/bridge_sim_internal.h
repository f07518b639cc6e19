// What the emulator's parts share: the state behind BridgeSim, its two threads, and the
// queue through which everything the bridge sends goes out.
//
// The reader thread (incoming.cpp) takes the host's bytes and hands them to the program
// the bridge runs: the application firmware (application_firmware.cpp) or the bootloader.
// Their answers, and the device changes of a restart or boot, are queued for the writer
// thread (outgoing.cpp), which alone writes to a device and streams the frames of the
// scene (camera_scene.cpp). Devices appear and go with restarts, boots and the cable
// (plug.cpp).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "sim/bootloader.h"
#include "sim/bridge_sim.h"
#include "sim/camera_core.h"
#include "sim/pty_device.h"
#include "sim/replay.h"
#include "sim/request_reader.h"
#include "sim/video.h"

namespace lep3::sim {

using Clock = std::chrono::steady_clock;

inline constexpr auto kSendWait = std::chrono::seconds(5); // send_raw, send_reset_notice and unplug wait this long
inline constexpr auto kModePoll = std::chrono::milliseconds(5);

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

    // ---- devices (plug.cpp) --------------------------------------------------------
    // Caller holds mu.
    void install(std::shared_ptr<PtyDevice> dev, Mode m);
    void go_away();
    void appear(Mode m, const std::string &path);

    // ---- outgoing (outgoing.cpp) ---------------------------------------------------
    // Caller holds mu.
    void enqueue(Outgoing out, Clock::duration delay = {});
    void enqueue_action(Clock::duration delay, std::function<void()> action);
    // Queues bytes for the current device and waits until they have been written.
    void send_and_wait(std::unique_lock<std::mutex> &lk, std::vector<uint8_t> bytes, bool packet);
    bool keep_writing(uint64_t gen) const { return !stopping && generation == gen; }
    void write_garbage(const PtyDevice &dev, uint64_t gen);
    // Writes one packet in the way the knobs ask for. False when it was cut off.
    bool write_packet(const PtyDevice &dev, uint64_t gen, std::span<const uint8_t> bytes, bool split, bool byte_by_byte,
                      size_t chunk);
    // Flips one pixel byte, away from the stamp in the first video packet.
    void corrupt_frame(std::vector<uint8_t> &frame, uint8_t frame_mode);
    void writer_loop();

    // ---- the scene (camera_scene.cpp) ----------------------------------------------
    // The values of frame seq, due at due: the synthetic scene's, or the recording's next
    // frame with the registers it was recorded with. False when the recording has ended.
    bool take_frame(uint32_t seq, Clock::time_point due);
    std::string pace_text() const;

    // ---- incoming (incoming.cpp) ---------------------------------------------------
    void reader_loop();
    // Caller holds mu.
    void take_app_bytes(std::span<const uint8_t> bytes);
    void take_boot_bytes(std::span<const uint8_t> bytes);

    // ---- application firmware (application_firmware.cpp) ---------------------------
    // Caller holds mu.
    void serve(const Request &r);
    // Runs on the writer thread once the reply to 0x0402 is out.
    void restart_into_bootloader();
};

// A reply packet of the application firmware: AA 55 L, ID, type, data, check byte.
std::vector<uint8_t> reply_packet(uint16_t id, uint8_t type, const std::vector<uint8_t> &data);

} // namespace lep3::sim
