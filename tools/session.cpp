#include "tools/session.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "lep3.h"
#include "sim/bridge_sim.h"
#include "tools/signals.h"

namespace lep3tool {

namespace {

// The emulator runs at the real camera core's rate, so what the tool shows with --sim
// is what it shows on the device.
constexpr double kSimFramesPerSecond = 8.7;

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

    if (options.sim) {
        temp_dir_ = make_temp_dir();
        lep3::sim::Options sim_options;
        sim_options.path = temp_dir_ + "/ttyACM0";
        sim_options.boot_path = temp_dir_ + "/ttyACM1";
        sim_options.fps = kSimFramesPerSecond;
        try {
            sim_ = std::make_unique<lep3::sim::BridgeSim>(sim_options);
        } catch (...) {
            std::filesystem::remove_all(temp_dir_);
            throw;
        }
        device_ = sim_->path();
        set_path(LEP3_PATH_UART, device_, "device");
        // The bootloader answers on a device of its own, where a real bridge's second
        // CDC device would appear.
        set_path(LEP3_PATH_UART_ALT, sim_options.boot_path, "bootloader device");
    } else {
        if (!options.device.empty())
            set_path(LEP3_PATH_UART, options.device, "device");
        device_ = LEP3_GetPath(LEP3_PATH_UART);
        struct stat st;
        if (stat(device_.c_str(), &st) != 0)
            throw std::runtime_error("no bridge at " + device_ + ": " + std::strerror(errno) +
                                     " (see 'lep3 list', or choose one with --device)");
    }

    if (options.managed) {
        const int r = LEP3_Open(nullptr);
        if (r != 0) {
            sim_.reset();
            if (!temp_dir_.empty())
                std::filesystem::remove_all(temp_dir_);
            throw std::runtime_error("cannot open the bridge at " + device_ + (r == -7 ? ": it is in use" : ""));
        }
        managed_ = true;
        return;
    }
    if (LEP3_Init() != 0) {
        const std::string reason = "cannot open the bridge at " + device_;
        sim_.reset();
        if (!temp_dir_.empty())
            std::filesystem::remove_all(temp_dir_);
        throw std::runtime_error(reason);
    }
    link_open_ = true;

    start_reader();
    const SignalsBlocked blocked;
    if (pthread_create(&parser_, nullptr, LEP3_Parse_Thr, nullptr) != 0) {
        stop_threads();
        LEP3_Destroy();
        throw std::runtime_error("cannot start the parser thread");
    }
    parser_running_ = true;
}

Session::~Session()
{
    if (managed_)
        LEP3_Close();
    stop_threads();
    if (link_open_)
        LEP3_Destroy();
    sim_.reset();
    if (!temp_dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(temp_dir_, ignored);
    }
}

void Session::start_reader()
{
    // The loops must not take the stop signals: the main thread handles them.
    const SignalsBlocked blocked;
    if (pthread_create(&reader_, nullptr, LEP3_Read_Thr, nullptr) != 0)
        throw std::runtime_error("cannot start the reader thread");
    reader_running_ = true;
}

void Session::stop_threads()
{
    // The loops never return: cancel them (both wait in cancellation points: the reader
    // in read, the parser in its polling sleep) and reclaim them before the library
    // releases the port and the queues they use.
    if (reader_running_) {
        pthread_cancel(reader_);
        pthread_join(reader_, nullptr);
        reader_running_ = false;
    }
    if (parser_running_) {
        pthread_cancel(parser_);
        pthread_join(parser_, nullptr);
        parser_running_ = false;
    }
}

bool Session::reopen_after_update()
{
    // The update cancelled the reader itself; joining reclaims it.
    if (reader_running_) {
        pthread_join(reader_, nullptr);
        reader_running_ = false;
    }
    // The update closed the port but kept the descriptor's number in uart_fd: never let
    // LEP3_Destroy close that number again, another file may own it by now.
    link_open_ = false;
    if (LEP3_Init() != 0)
        return false;
    link_open_ = true;
    start_reader();
    return true;
}

} // namespace lep3tool
