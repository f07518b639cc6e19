// A bridge emulator published in a private directory, with every library path pointed
// there, for the session tests. The emulator can be taken away and put back at the same
// path, as a bridge is unplugged and plugged in again.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lep3.h"
#include "sim/bridge_sim.h"
#include "support/eventually.h"
#include "support/process_counts.h"

namespace lep3::test {

class SessionTest : public testing::Test {
  protected:
    void SetUp() override
    {
        dir_ = (std::filesystem::temp_directory_path() / "lep3-session-XXXXXX").string();
        ASSERT_NE(mkdtemp(dir_.data()), nullptr);
        options_.path = dir_ + "/ttyACM0";
        options_.boot_path = dir_ + "/ttyACM1";
        options_.fps = 30;
        ASSERT_EQ(LEP3_SetPath(LEP3_PATH_UART_ALT, options_.boot_path.c_str()), 0);
        ASSERT_EQ(LEP3_SetPath(LEP3_PATH_FIRMWARE_DIR, dir_.c_str()), 0);
        LEP3_SetMessageHandler(nullptr, nullptr); // the tests look at results, not chatter
        plug();
    }
    void TearDown() override
    {
        LEP3_Close();
        sim_.reset();
        std::filesystem::remove_all(dir_);
    }

    void plug() { sim_ = std::make_unique<lep3::sim::BridgeSim>(options_); }
    void unplug() { sim_.reset(); }
    const std::string &path() const { return options_.path; }
    lep3::sim::BridgeSim &sim() { return *sim_; }

    std::string dir_;
    lep3::sim::Options options_;
    std::unique_ptr<lep3::sim::BridgeSim> sim_;
};

// A raw frame taken through the session, with what the session said of it.
struct Taken {
    int result = 0;
    std::vector<uint16_t> pixels = std::vector<uint16_t>(lep3::sim::kPixels);
    lep3_frame_info_t info{};
};
inline Taken take_frame(int timeout_ms)
{
    Taken t;
    t.result = LEP3_WaitFrame(t.pixels.data(), t.pixels.size() * sizeof(uint16_t), &t.info, timeout_ms);
    return t;
}
// True when the frame is exactly the one the emulator sent with its stamp: no pixel of
// another frame stitched in.
inline bool whole(const Taken &t)
{
    std::vector<uint16_t> expected(lep3::sim::kPixels);
    lep3::sim::BridgeSim::raw_frame(lep3::sim::BridgeSim::stamp_of_raw(t.pixels.data()), expected.data());
    return t.pixels == expected;
}

} // namespace lep3::test
