// lep3 update: replaces the bridge's firmware, with a progress bar.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>

#include "lep3.h"
#include "tools/command_support.h"
#include "tools/command_thread.h"
#include "tools/commands.h"
#include "tools/console.h"
#include "tools/library_messages.h"
#include "tools/result_text.h"
#include "tools/signals.h"

namespace lep3tool {

namespace {

constexpr OptionSpec kOptions[] = {
    {"firmware-dir", 'f', "DIR", "directory holding the firmware image (default /tmp/mmcblk0)"},
};

constexpr std::chrono::milliseconds kProgressPoll{100};
constexpr int kBarWidth = 40;
constexpr int kFullProgress = 100;
// The library's progress value stays here while the image is transferred, and moves on to
// the next step's value after it; the blocks acknowledged fill the span between.
constexpr int kTransferStart = 15;
constexpr int kTransferEnd = 65;

struct Progress {
    int percent = 0;
    uint32_t block = 0; // data blocks acknowledged, during the transfer
    uint32_t blocks = 0;
    bool operator==(const Progress &) const = default;
};

Progress read_progress()
{
    Progress p;
    int32_t rate = 0;
    LEP3_GetUpdateRate(&rate);
    p.percent = rate;
    if (rate == kTransferStart && LEP3_GetUpdateBlocks(&p.block, &p.blocks) == 0 && p.blocks > 0)
        p.percent = kTransferStart + static_cast<int>(uint64_t{kTransferEnd - kTransferStart} * p.block / p.blocks);
    else
        p.block = p.blocks = 0;
    return p;
}

// Follows the update from a second thread through the library's progress value and, during
// the transfer, the data blocks the bootloader has acknowledged.
class ProgressBar {
  public:
    ProgressBar() : terminal_(out_is_terminal()), thread_([this] { follow(); }) {}
    ~ProgressBar()
    {
        done_.store(true);
        thread_.join();
    }
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;

  private:
    void follow()
    {
        Progress shown{-1, 0, 0};
        bool told = false;
        for (;;) {
            const bool last = done_.load();
            const Progress now = read_progress();
            // Without a terminal a line is written only when the percentage moves.
            const bool moved = terminal_ ? !(now == shown) : now.percent != shown.percent;
            if (moved && now.percent >= 0) {
                draw(now);
                shown = now;
            }
            if (stop_requested() && !told) {
                told = true;
                warning("the update can't be interrupted safely and goes on; a second Ctrl-C ends the process at "
                        "once");
            }
            if (last)
                break;
            std::this_thread::sleep_for(kProgressPoll);
        }
        if (terminal_)
            print("%c", '\n');
        flush_output();
    }

    void draw(const Progress &p)
    {
        const std::string blocks =
            p.blocks > 0 ? ", block " + std::to_string(p.block) + " of " + std::to_string(p.blocks) : "";
        if (!terminal_) {
            print("progress %d%%%s\n", p.percent, blocks.c_str());
            flush_output();
            return;
        }
        const int filled = p.percent * kBarWidth / kFullProgress;
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(kBarWidth - filled), '.');
        print("\r\033[K[%s] %3d%%%s", bar.c_str(), p.percent, blocks.c_str());
        flush_output();
    }

    bool terminal_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

int run_update(const ParsedArgs &args)
{
    const auto &files = args.positionals();
    if (files.size() > 1)
        throw UsageError("update takes at most one image file");
    SessionOptions options = session_options(args);
    if (!files.empty() && args.has("firmware-dir"))
        throw UsageError("give an image file or --firmware-dir, not both");
    if (auto dir = args.value("firmware-dir"))
        options.firmware_dir = *dir;

    Session session(options);
    uint32_t running = 0;
    const int vr = awaiting_reply([&] { return LEP3_GetFirmwareVersion(&running); });
    if (vr == -2)
        throw std::runtime_error("the bridge at " + session.device() + " does not answer");
    if (vr == 0)
        print("bridge firmware %u: updating\n", running);
    else
        print("updating\n");
    flush_output();

    int result = 0;
    {
        // The procedure's messages would run through the bar: they are shown after it.
        HeldMessages held;
        {
            const ProgressBar bar;
            // The library checks the whole image before it restarts the bridge, and opens
            // the session again on the new firmware afterwards.
            result = LEP3_UpdateFirmware(files.empty() ? nullptr : files[0].c_str());
        }
        if (result != 0 && held.explained()) {
            // Refused before anything was sent: the library's sentence says why.
            const std::string reason = held.reason();
            held.discard();
            error("%s; the bridge was not touched", reason.c_str());
            return kExitFailure;
        }
    }
    if (result != 0) {
        error("the update failed: %s", describe_update_result(result).c_str());
        return kExitFailure;
    }
    uint32_t now_running = 0;
    if (awaiting_reply([&] { return LEP3_GetFirmwareVersion(&now_running); }) == 0)
        print("update complete: bridge firmware %u\n", now_running);
    else
        print("update complete\n");
    return kExitOk;
}

} // namespace

const Command kUpdateCommand = {
    "update",
    "[FILE]",
    "replace the bridge's firmware with an image file",
    "Without FILE the image is the one in the firmware directory. The image is checked whole\n"
    "before the bridge restarts. The bridge's user RBFO parameters are kept across the update.\n"
    "It takes about a minute; don't unplug the camera.",
    kOptions,
    run_update,
};

} // namespace lep3tool
