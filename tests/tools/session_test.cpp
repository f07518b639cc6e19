// The tool on the library's session: a bridge held by another program, Ctrl-C while a
// command waits for the bridge's reply, and a long-running command started as a daemon
// would start it, in a session of its own with no terminal (setsid): the bridge's port
// must not become its controlling terminal, or an unplug would send it SIGHUP and end it;
// it waits for the bridge and resumes by itself. (The service, view with its other
// outputs, is started that way by its own test.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "lep3.h"
#include "tools/tool_fixture.h"

namespace {

using namespace std::chrono_literals;
using lep3::test::ToolProcess;

using ToolSessionTest = lep3::test::BridgeTest;

size_t lines_in(const std::string &text)
{
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Whatever the subcommand, a bridge that another program holds is one line naming it.
TEST_F(ToolSessionTest, BridgeInUseIsOneLineInEverySubcommand)
{
    LEP3_SetMessageHandler(nullptr, nullptr);
    ASSERT_EQ(LEP3_Open(device().c_str()), 0);
    std::ofstream(path("image.talvor"), std::ios::binary) << "SAMG55;V9.99\r\n" << std::string(640, '\x5a');
    const std::string holder = "in use by process " + std::to_string(getpid());
    for (const std::vector<std::string> &command : {std::vector<std::string>{"info"},
                                                    {"get", "gain-mode"},
                                                    {"set", "gain-mode", "1"},
                                                    {"ffc"},
                                                    {"capture", "-o", path("out")},
                                                    {"stream", "--seconds", "1"},
                                                    {"update", path("image.talvor")}}) {
        std::vector<std::string> args = command;
        args.insert(args.begin() + 1, {"--device", device()});
        const auto r = lep3::test::run_tool(args);
        lep3::test::expect_clean_failure(r, holder);
        EXPECT_EQ(lines_in(r.err), 1u) << command[0] << ":\n" << r.err;
    }
    LEP3_Close();
}

// A command whose reply never comes: the library would wait 7 s for it, Ctrl-C doesn't.
TEST_F(ToolSessionTest, CtrlCEndsACommandWaitingForItsReplyAtOnce)
{
    struct Case {
        uint16_t silent_id;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {0x0248, {"get", "--device", device(), "gain-mode"}},
        {0x0214, {"capture", "--device", device(), "-o", path("out"), "-n", "3"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0]);
        sim().set_faults({.commands = {{c.silent_id, {.no_reply = true}}}});
        sim().clear_requests();
        ToolProcess p(c.args);
        ASSERT_TRUE(lep3::test::eventually([&] { return sim().request_count(c.silent_id) > 0; }, 20s));
        p.send_signal(SIGINT);
        const auto r = p.finish();
        EXPECT_EQ(r.status, 128 + SIGINT) << r.err;
        EXPECT_NE(r.err.find("interrupted while waiting for the bridge's reply"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("did not answer"), std::string::npos) << r.err;
    }
    // The capture left no half-written file.
    for (const auto &entry : std::filesystem::directory_iterator(path("out")))
        EXPECT_NE(entry.path().extension(), ".part") << entry.path();
}

const std::vector<std::string> kSetsid = {"/usr/bin/setsid"};

TEST_F(ToolSessionTest, StreamCarriesOnAcrossAnUnplugWithoutATerminal)
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
