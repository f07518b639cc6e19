#include "tools/managed_camera.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "lep3.h"
#include "sim/bridge_sim.h"

namespace lep3tool {

namespace {

constexpr double kSimFramesPerSecond = 8.7; // the camera core's rate

} // namespace

ManagedCamera::ManagedCamera(const SessionOptions &options)
{
    if (options.sim) {
        const char *base = std::getenv("TMPDIR");
        std::string dir = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/lep3-sim-XXXXXX";
        if (mkdtemp(dir.data()) == nullptr)
            throw std::runtime_error("cannot create a directory for the emulator: " +
                                     std::string(std::strerror(errno)));
        temp_dir_ = dir;
        lep3::sim::Options sim_options;
        sim_options.path = temp_dir_ + "/ttyACM0";
        sim_options.fps = kSimFramesPerSecond;
        try {
            sim_ = std::make_unique<lep3::sim::BridgeSim>(sim_options);
        } catch (...) {
            std::filesystem::remove_all(temp_dir_);
            throw;
        }
        device_ = sim_->path();
    } else {
        device_ = options.device.empty() ? LEP3_GetPath(LEP3_PATH_UART) : options.device;
    }
    if (LEP3_Open(device_.c_str()) != 0) {
        sim_.reset();
        if (!temp_dir_.empty())
            std::filesystem::remove_all(temp_dir_);
        throw std::runtime_error("cannot open the bridge at " + device_);
    }
}

ManagedCamera::~ManagedCamera()
{
    LEP3_Close();
    sim_.reset();
    if (!temp_dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(temp_dir_, ignored);
    }
}

} // namespace lep3tool
