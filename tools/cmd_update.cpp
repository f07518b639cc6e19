// lep3 update: replaces the bridge's firmware, with a progress bar.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

#include "hostkit/command_support.h"
#include "hostkit/command_thread.h"
#include "hostkit/console.h"
#include "hostkit/firmware_version.h"
#include "hostkit/library_messages.h"
#include "hostkit/result_text.h"
#include "hostkit/signals.h"
#include "lep3.h"
#include "tools/commands.h"
#include "tools/saved_rbfo.h"

namespace lep3tool {

namespace {

constexpr OptionDef kOptions[] = {
    {"firmware-dir", 0, "DIR", "directory holding the firmware image (default /tmp/mmcblk0)"},
    {"boot-device", 0, "PATH", "serial device of the bridge's bootloader (default /dev/ttyACM1)"},
    {"force", 0, "", "install an image older than the running firmware"},
};

// The update's results that name a device.
constexpr int kTransferFailed = -3;
constexpr int kNewDeviceFailed = -4;

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

// The image the update installs: the file given, or the one in the firmware directory.
std::string find_image(const ParsedArgs &args)
{
    const auto &files = args.positionals();
    if (files.size() > 1)
        throw UsageError("update takes at most one image file");
    if (!files.empty() && args.has("firmware-dir"))
        throw UsageError("give an image file or --firmware-dir, not both");
    if (!files.empty())
        return files[0];
    if (auto dir = args.value("firmware-dir"); dir && LEP3_SetPath(LEP3_PATH_FIRMWARE_DIR, dir->c_str()) != 0)
        throw UsageError("the firmware directory '" + *dir + "' is empty or too long");
    const std::string dir = LEP3_GetPath(LEP3_PATH_FIRMWARE_DIR);
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec))
        throw std::runtime_error("the firmware directory " + dir + " does not exist (give the image file instead)");
    const char *name = search_firmware();
    if (name == nullptr)
        throw std::runtime_error("no firmware image in " + dir + " (a file named like SAMG55_V1.0.talvor)");
    return dir + "/" + name;
}

int run_update(const ParsedArgs &args)
{
    const std::string image = find_image(args);
    SessionOptions options = session_options(args);
    if (options.sim)
        options.sim_images.push_back(image);
    if (auto boot = args.value("boot-device")) {
        if (options.sim)
            throw UsageError("--boot-device names a bridge's bootloader; the emulator has its own");
        if (boot->empty())
            throw UsageError("--boot-device needs a path");
        options.boot_device = *boot;
    }
    // Read before anything else: a file that is no image never costs a session.
    const uint32_t image_version = image_file_version(image);

    Session session(options);
    uint32_t running = 0;
    const int vr = awaiting_reply([&] { return LEP3_GetFirmwareVersion(&running); });
    if (vr == -2)
        throw std::runtime_error("the bridge at " + session.device() + " does not answer");
    if (vr == 0 && image_version < running && !args.has("force")) {
        error("the image holds firmware %s, older than the bridge's %s; --force installs it anyway",
              version_text(image_version).c_str(), version_text(running).c_str());
        return kExitFailure;
    }
    // Kept in the state directory for 'lep3 recover', should the update be cut off.
    lep3_rbfo_t rbfo{};
    std::string why;
    if (awaiting_reply([&] { return LEP3_GetUserRBFO(&rbfo); }) == 0 && !save_user_rbfo(rbfo, why))
        warning("the user RBFO parameters could not be kept for a recovery: %s", why.c_str());
    if (vr == 0)
        print("bridge firmware %s, image %s: updating\n", version_text(running).c_str(),
              version_text(image_version).c_str());
    else
        print("image %s: updating\n", version_text(image_version).c_str());
    flush_output();

    int result = 0;
    {
        // The procedure's messages would run through the bar: they are shown after it.
        HeldMessages held;
        {
            const ProgressBar bar;
            // The library checks the whole image before it restarts the bridge, and opens
            // the session again on the new firmware afterwards.
            result = LEP3_UpdateFirmware(image.c_str());
        }
        if (result != 0 && held.explained()) {
            // Refused before anything was sent: the library's sentence says why.
            const std::string reason = held.reason();
            held.discard();
            error("%s; the bridge was not touched", reason.c_str());
            return kExitFailure;
        }
    }
    const std::string boot_device = LEP3_GetPath(LEP3_PATH_UART_ALT);
    if (result == kTransferFailed) {
        error("the update failed: the bootloader did not take the image at %s (if it waits at another device, "
              "name it with --boot-device); the bridge waits in its bootloader: 'lep3 recover %s --boot-device "
              "PATH' flashes it",
              boot_device.c_str(), image.c_str());
        return kExitFailure;
    }
    if (result == kNewDeviceFailed) {
        error("the update failed: the new firmware was written, but its serial device did not come back at %s or "
              "%s",
              session.device().c_str(), boot_device.c_str());
        return kExitFailure;
    }
    if (result != 0) {
        error("the update failed: %s", describe_update_result(result).c_str());
        return kExitFailure;
    }
    uint32_t now_running = 0;
    if (awaiting_reply([&] { return LEP3_GetFirmwareVersion(&now_running); }) != 0) {
        warning("the update is complete, but the bridge's firmware version could not be read back");
        return kExitOk;
    }
    if (now_running != image_version) {
        error("the update is complete, but the bridge reports firmware %s, not the image's %s",
              version_text(now_running).c_str(), version_text(image_version).c_str());
        return kExitFailure;
    }
    print("update complete: the bridge runs firmware %s\n", version_text(now_running).c_str());
    return kExitOk;
}

} // namespace

const Command kUpdateCommand = {
    "update",
    "[--boot-device PATH] [--force] [FILE]",
    "replace the bridge's firmware with an image file",
    "Without FILE the image is the one in the firmware directory (a file named like\n"
    "SAMG55_V1.15.talvor whose first line is SAMG55;V1.15). The image is checked whole before\n"
    "the bridge restarts into its bootloader, which answers on a serial device of its own\n"
    "(--boot-device). An image older than the running firmware needs --force. Afterwards the\n"
    "bridge's version is compared with the image's. The bridge's user RBFO parameters are kept.\n"
    "It takes about a minute; don't unplug the camera.",
    kOptions,
    run_update,
};

} // namespace lep3tool
