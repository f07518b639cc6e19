// The bridge emulator in this process, published in a private temporary directory
// (ttyACM0, its bootloader at ttyACM1): taking it away and creating it again at the same
// path is an unplug and a re-plug.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "sim/bridge_sim.h"

namespace lep3::test {

class PluggableBridge {
  public:
    explicit PluggableBridge(double fps = 30)
    {
        if (mkdtemp(dir_.data()) == nullptr)
            ADD_FAILURE() << "mkdtemp";
        options_.path = dir_ + "/ttyACM0";
        options_.boot_path = dir_ + "/ttyACM1";
        options_.fps = fps;
        plug();
    }
    ~PluggableBridge()
    {
        sim_.reset();
        std::filesystem::remove_all(dir_);
    }
    PluggableBridge(const PluggableBridge &) = delete;
    PluggableBridge &operator=(const PluggableBridge &) = delete;

    void plug() { sim_ = std::make_unique<lep3::sim::BridgeSim>(options_); }
    void unplug() { sim_.reset(); }
    const std::string &path() const { return options_.path; }
    const std::string &boot_path() const { return options_.boot_path; }
    const std::string &dir() const { return dir_; }
    lep3::sim::BridgeSim &sim() { return *sim_; }

  private:
    std::string dir_ = (std::filesystem::temp_directory_path() / "lep3-bridge-XXXXXX").string();
    lep3::sim::Options options_;
    std::unique_ptr<lep3::sim::BridgeSim> sim_;
};

} // namespace lep3::test
