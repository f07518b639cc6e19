// The tool on the library's session: a bridge held by another program, and Ctrl-C while a
// command waits for the bridge's reply. (An unplug during a stream is the daemon test's.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
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

} // namespace
