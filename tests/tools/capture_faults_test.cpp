// lep3 capture on a bridge that misbehaves: damaged frames, silence, a range that misses
// the scene. Each is said, never saved or reported as if all were well.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/tool_fixture.h"

namespace {

using CaptureFaultsTest = lep3::test::BridgeTest;
using lep3::test::expect_clean_failure;
using lep3::test::run_tool;

TEST_F(CaptureFaultsTest, FramesWithAFailedCheckByteAreSkippedOrKeptMarked)
{
    sim().set_faults({.corrupt_frame_every = 1});
    expect_clean_failure(run_tool({"capture", "--device", device(), "-o", path("skip"), "--timeout", "1"}),
                         "sends only frames whose check byte fails");
    EXPECT_FALSE(std::filesystem::exists(path("skip/frame-0001.png")));

    auto r = run_tool({"capture", "--device", device(), "-o", path("kept"), "-n", "2", "--keep-bad", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    int kept = 0;
    for (std::string line; std::getline(lines, line); ++kept)
        EXPECT_FALSE(nlohmann::json::parse(line).at("check_ok").get<bool>()) << line;
    EXPECT_EQ(kept, 2);
    for (const char *name : {"kept/frame-0001.png", "kept/frame-0001-raw16.png"})
        EXPECT_NE(lep3::test::read_png(path(name)).text.at("Warning").find("check byte failed"), std::string::npos)
            << name;
    r = run_tool({"capture", "--device", device(), "-o", path("text"), "--keep-bad"});
    EXPECT_NE(r.out.find("(check byte failed), centre "), std::string::npos) << r.out;

    // One damaged frame in two: only good ones are saved, and the skipped ones counted.
    sim().set_faults({.corrupt_frame_every = 2});
    r = run_tool({"capture", "--device", device(), "-o", path("some"), "-n", "4", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("\"check_ok\":false"), std::string::npos) << r.out;
    // Damaged frames the tool never took (overwritten while it wrote files) aren't counted.
    EXPECT_TRUE(r.err.empty() ||
                lep3::test::search(r.err, "^lep3: warning: skipped [0-9]+ frames? whose check byte failed[^\n]*\n$"))
        << r.err;
}

// Silence fails within the frame time-out, before any command waits for its reply.
TEST_F(CaptureFaultsTest, ASilentBridgeFailsWithinTheFrameTimeOut)
{
    sim().set_faults({.silent = true});
    for (const auto &command : {std::vector<std::string>{"capture", "-o", path("none")},
                                std::vector<std::string>{"stream", "--seconds", "30"}}) {
        SCOPED_TRACE(command[0]);
        auto args = command;
        args.insert(args.end(), {"--device", device(), "--timeout", "0.5"});
        const auto started = std::chrono::steady_clock::now();
        expect_clean_failure(run_tool(args), "the bridge at " + device() + " sends nothing: no frame in 0.5 s");
        // Far below a command's reply time (7.5 s), which it must not have waited for.
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(7));
    }
}

TEST_F(CaptureFaultsTest, ARangeThatMissesTheFrameIsSaid)
{
    const auto r = run_tool({"capture", "--device", device(), "-o", path("out"), "-n", "2", "-r", "20:30"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(lep3::test::search(r.err, "^lep3: warning: the range 20:30 lies outside the frame's raw values, "
                                          "[0-9]+ to [0-9]+: the picture is one colour [^\n]*\n$"))
        << r.err;
}

} // namespace
