// The long-running commands started as a daemon would start them: in a session of their
// own with no terminal (setsid). The bridge's port must not become their controlling
// terminal, or an unplug would send them SIGHUP and end them. They wait for the bridge
// and resume by themselves.
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

TEST_F(DaemonTest, StreamAndViewCarryOnAcrossAnUnplugWithoutATerminal)
{
    if (access(kSetsid[0].c_str(), X_OK) != 0)
        GTEST_SKIP() << "no setsid";
    struct Case {
        std::vector<std::string> args;
        std::string running, gone, again; // printed once it serves frames, at the unplug, after it
    };
    const Case cases[] = {{{"stream", "--device", device(), "--seconds", "60"},
                           " fps | frames 1..",
                           "bridge gone, waiting",
                           " fps | frames "},
                          {{"view", "--device", device(), "--port", "0"}, "to stop)", "", ""}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0]);
        ToolProcess p(c.args, kSetsid);
        const size_t running = p.wait_for_output(c.running, 20s);
        if (running == std::string::npos && p.finish(1s).err.find("not built") != std::string::npos)
            continue; // a tool without its viewer
        ASSERT_NE(running, std::string::npos) << p.output();
        for (size_t cycle = 0, at = running; cycle < 2; ++cycle) {
            unplug();
            std::this_thread::sleep_for(300ms); // a hang-up would have arrived by now
            ASSERT_TRUE(c.gone.empty() || (at = p.wait_for_output(c.gone, 10s, at)) != std::string::npos) << p.output();
            plug();
            ASSERT_TRUE(lep3::test::eventually([&] { return sim().frames_sent() > 0; }, 20s)) << "not asked again";
            // Frames flow again after the re-plug, numbered on from before it.
            ASSERT_TRUE(c.again.empty() || (at = p.wait_for_output(c.again, 20s, at)) != std::string::npos)
                << p.output();
        }
        p.send_signal(SIGINT);
        const auto r = p.finish();
        // Ended by the Ctrl-C alone (which may meet a command waiting for its reply).
        EXPECT_TRUE(r.status == 0 || r.status == 128 + SIGINT) << r.status << "\n" << r.err;
        EXPECT_EQ(r.err.find("hung up"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("stopped sending"), std::string::npos) << r.err;
    }
}

} // namespace
