// The session tests' fixture: a pluggable bridge emulator with the library's paths pointed
// into its directory, and frames taken through the session.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "lep3.h"
#include "sim/bridge_sim.h"
#include "support/eventually.h"
#include "support/pluggable_bridge.h"
#include "support/process_counts.h"

namespace lep3::test {

class SessionTest : public testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(LEP3_SetPath(LEP3_PATH_UART_ALT, bridge_.boot_path().c_str()), 0);
        ASSERT_EQ(LEP3_SetPath(LEP3_PATH_FIRMWARE_DIR, bridge_.dir().c_str()), 0);
        LEP3_SetMessageHandler(nullptr, nullptr); // the tests look at results, not chatter
    }
    void TearDown() override { LEP3_Close(); }

    void plug() { bridge_.plug(); }
    void unplug() { bridge_.unplug(); }
    const std::string &path() const { return bridge_.path(); }
    lep3::sim::BridgeSim &sim() { return bridge_.sim(); }

    PluggableBridge bridge_;
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
