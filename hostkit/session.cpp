#include "hostkit/session.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>

#include "hostkit/library_messages.h"
#include "lep3.h"
#include "sim/bridge_sim.h"

namespace lep3tool {

namespace {

// The emulator runs at the real camera core's rate, so what the tool shows with --sim
// is what it shows on the device.
constexpr double kSimFramesPerSecond = 8.7;

// The session that close_for_exit ends; one at a time.
std::mutex active_lock;
Session *active = nullptr;

std::string make_temp_dir()
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/lep3-sim-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a directory for the emulator: " + std::string(std::strerror(errno)));
    return pattern;
}

void set_path(int which, const std::string &path, const char *what)
{
    if (LEP3_SetPath(which, path.c_str()) != 0)
        throw std::runtime_error(std::string("the ") + what + " path '" + path + "' is empty or too long");
}

} // namespace

Session::Session(const SessionOptions &options)
{
    if (!options.firmware_dir.empty())
        set_path(LEP3_PATH_FIRMWARE_DIR, options.firmware_dir, "firmware directory");
    if (!options.boot_device.empty())
        set_path(LEP3_PATH_UART_ALT, options.boot_device, "bootloader device");

    if (options.sim) {
        temp_dir_ = make_temp_dir();
        lep3::sim::Options sim_options;
        sim_options.path = temp_dir_ + "/ttyACM0";
        sim_options.boot_path = temp_dir_ + "/ttyACM1";
        sim_options.fps = kSimFramesPerSecond;
        // The bootloader receives an image's body only; the emulator finds the file it came
        // from to report the version its first line names.
        sim_options.image_paths = options.sim_images;
        try {
            sim_ = std::make_unique<lep3::sim::BridgeSim>(sim_options);
        } catch (...) {
            release();
            throw;
        }
        device_ = sim_->path();
        // The bootloader answers on a device of its own, where a real bridge's second
        // CDC device would appear.
        set_path(LEP3_PATH_UART_ALT, sim_options.boot_path, "bootloader device");
    } else {
        device_ = options.device.empty() ? LEP3_GetPath(LEP3_PATH_UART) : options.device;
        struct stat st;
        if (stat(device_.c_str(), &st) != 0 && errno == ENOENT)
            throw std::runtime_error("no bridge at " + device_ + ": " + std::strerror(ENOENT) +
                                     " (see 'lep3 list', or choose one with --device)");
    }

    // The library explains a refusal (in use and by whom, the system's error, the group
    // that owns the device); the tool turns it into its one error line.
    HeldMessages held;
    if (LEP3_Open(device_.c_str()) != 0) {
        std::string reason = held.reason();
        held.discard();
        release();
        throw std::runtime_error(reason.empty() ? "cannot open the bridge at " + device_ : reason);
    }
    const std::lock_guard guard(active_lock);
    active = this;
}

Session::~Session()
{
    {
        const std::lock_guard guard(active_lock);
        if (active == this)
            active = nullptr;
    }
    LEP3_Close();
    release();
}

void Session::release()
{
    sim_.reset();
    if (!temp_dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(temp_dir_, ignored);
        temp_dir_.clear();
    }
}

void Session::close_for_exit()
{
    const std::lock_guard guard(active_lock);
    LEP3_Close();
    if (active != nullptr)
        active->release();
    active = nullptr;
}

} // namespace lep3tool
