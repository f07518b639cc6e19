// A long-running command started as a daemon would start it: in a session of its own with
// no terminal (setsid). The bridge's port must not become its controlling terminal, or an
// unplug would send it SIGHUP and end it. It waits for the bridge and resumes by itself.
// (The service, view with its other outputs, is started this way by its own test.)
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "tools/tool_fixture.h"

namespace {

using namespace std::chrono_literals;
using lep3::test::ToolProcess;

using DaemonTest = lep3::test::BridgeTest;

const std::vector<std::string> kSetsid = {"/usr/bin/setsid"};

TEST_F(DaemonTest, StreamCarriesOnAcrossAnUnplugWithoutATerminal)
{
    if (access(kSetsid[0].c_str(), X_OK) != 0)
        GTEST_SKIP() << "no setsid";
    ToolProcess p({"stream", "--device", device(), "--seconds", "60"}, kSetsid);
    size_t at = p.wait_for_output(" fps | frames 1..", 20s);
    ASSERT_NE(at, std::string::npos) << p.output();
    for (int cycle = 0; cycle < 2; ++cycle) {
        unplug();
        std::this_thread::sleep_for(300ms); // a hang-up would have arrived by now
        ASSERT_NE(at = p.wait_for_output("bridge gone, waiting", 10s, at), std::string::npos) << p.output();
        plug();
        ASSERT_TRUE(lep3::test::eventually([&] { return sim().frames_sent() > 0; }, 20s)) << "not asked again";
        // Frames flow again after the re-plug, numbered on from before it.
        ASSERT_NE(at = p.wait_for_output(" fps | frames ", 20s, at), std::string::npos) << p.output();
    }
    p.send_signal(SIGINT);
    const auto r = p.finish();
    // Ended by the Ctrl-C alone (which may meet a command waiting for its reply).
    EXPECT_TRUE(r.status == 0 || r.status == 128 + SIGINT) << r.status << "\n" << r.err;
    EXPECT_EQ(r.err.find("hung up"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("stopped sending"), std::string::npos) << r.err;
}

} // namespace
