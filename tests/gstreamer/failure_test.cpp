// lep3src when things go wrong: a silent or unplugged bridge, one that returns, a bridge
// held by another process or by another element until its release at EOS or NULL.
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>

#include "gstreamer/pipeline.h"
#include "lep3.h"
#include "support/spawn_program.h"

namespace lep3::gsttest {
namespace {

// Margin on top of a time-out for a loaded machine, small enough that an element that
// ignored timeout-ms (default 3000 ms) would miss it; the tests assert bounds, not speed.
constexpr GstClockTime kMargin = 2 * GST_SECOND;

std::string appsink_pipeline(const std::string &device, const std::string &properties = "")
{
    return "lep3src name=src device=" + device + " " + properties + " ! appsink name=sink sync=false";
}

// A bridge that falls silent, or is unplugged and stays away: an error once the time-out
// has passed, and the library's words about the loss go to the debug log, not the console.
TEST(Lep3SrcFailure, ASilentOrVanishedBridgeEndsInAnErrorOnceTheTimeoutHasPassed)
{
    const struct {
        bool unplug;
        GstClockTime timeout_ms;
        const char *error;
    } cases[] = {{false, 600, "No frame from the bridge"},
                 {true, 500, "is gone (unplugged?) and did not come back within 500 ms"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.error);
        EmulatedBridge bridge;
        Pipeline p(appsink_pipeline(bridge.path(), "timeout-ms=" + std::to_string(c.timeout_ms)));
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        ASSERT_NE(p.play(), GST_STATE_CHANGE_FAILURE);
        const auto first = p.pull();
        ASSERT_TRUE(first);
        if (c.unplug)
            bridge.unplug();
        else
            bridge.sim().set_faults({.silent = true});
        // The element's time-out counts from the last buffer's frame: how long after it, in
        // running time, the error came.
        const std::string error = p.wait_end(10s);
        const GstClockTime at = p.running_time();
        GstClockTime last = first->pts;
        while (auto f = p.pull(200ms))
            last = f->pts;
        p.stop();
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_GE(at - last, c.timeout_ms * GST_MSECOND);
        EXPECT_LE(at - last, c.timeout_ms * GST_MSECOND + kMargin);
        EXPECT_EQ(out, "");
        EXPECT_EQ(err.find("LEP3"), std::string::npos) << err;
    }
}

TEST(Lep3SrcFailure, ABridgeThatReturnsWithinTheTimeoutKeepsTheStreamGoing)
{
    EmulatedBridge bridge;
    Pipeline p("lep3src name=src device=" + bridge.path() +
               " timeout-ms=10000 ! appsink name=sink sync=false max-buffers=1 drop=true");
    ASSERT_NE(p.play(), GST_STATE_CHANGE_FAILURE);
    auto before = p.pull();
    ASSERT_TRUE(before);
    bridge.unplug();
    ASSERT_TRUE(eventually([] { return LEP3_GetLinkState() == LEP3_LINK_GONE; }));
    std::this_thread::sleep_for(200ms);
    bridge.plug();
    ASSERT_TRUE(eventually([&] { return p.stat("reconnects") == 1; }, 10s)) << p.wait_end(0ms);
    for (int i = 0; i < 3; ++i) {
        auto next = p.pull();
        ASSERT_TRUE(next) << p.wait_end(0ms);
        EXPECT_GT(next->offset, before->offset);
        before = next;
    }
    EXPECT_EQ(p.stat("reconnects"), 1U);
    EXPECT_EQ(p.wait_end(0ms), "");
}

// The process whose command line names path, or -1.
pid_t process_naming(const std::string &path)
{
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream cmdline(entry.path() / "cmdline");
        std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
        if (args.find(path) != std::string::npos)
            return static_cast<pid_t>(std::atoi(entry.path().filename().c_str()));
    }
    return -1;
}

// Whether the process holds a lock, as the kernel's table of locks shows it.
bool holds_a_lock(pid_t pid)
{
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);)
        if (line.find(" " + std::to_string(pid) + " ") != std::string::npos)
            return true;
    return false;
}

// gst-launch-1.0 running "lep3src sim=true ! fakesink" in a process of its own holds the
// emulator it started: a pipeline here is refused with the holder named; the emulator ends
// when its host is killed outright.
TEST(Lep3SrcFailure, ABridgeHeldByAnotherProcessIsRefusedAndItsEmulatorEndsWithIt)
{
#ifdef LEP3_SANITIZED
    GTEST_SKIP() << "gst-launch-1.0 can't load a sanitised plugin";
#endif
    init_gstreamer(); // the child inherits GST_PLUGIN_PATH, the registry and TMPDIR
    pid_t host = -1;
    ASSERT_EQ(lep3::test::spawn_program(&host, {"gst-launch-1.0", "-q", "lep3src", "sim=true", "!", "fakesink"}), 0);
    // The element publishes the emulator's device in a directory under TMPDIR, then takes it.
    std::string device;
    const bool published = eventually(
        [&] {
            for (const auto &entry : std::filesystem::directory_iterator(test_tmpdir()))
                if (std::filesystem::exists(entry.path() / "ttyACM0"))
                    device = (entry.path() / "ttyACM0").string();
            return !device.empty() && holds_a_lock(host);
        },
        20s);
    const pid_t emulator = published ? process_naming(device) : -1;
    if (published) {
        Pipeline p(appsink_pipeline(device));
        EXPECT_EQ(p.play(), GST_STATE_CHANGE_FAILURE);
        const std::string end = p.wait_end(1s);
        EXPECT_NE(end.find("is in use by process " + std::to_string(host)), std::string::npos) << end;
    }
    kill(host, SIGKILL);
    waitpid(host, nullptr, 0);
    ASSERT_GT(emulator, 0) << "no emulator published a device";
    const bool ended = eventually([&] { return kill(emulator, 0) != 0; }, 5s);
    EXPECT_TRUE(ended) << "the emulator outlived its host";
    if (!ended)
        kill(emulator, SIGTERM);
}

// One element per process: a second is refused while the first streams, undisturbed.
// The first lets go of the port at EOS, and at NULL even while it waits for a frame that
// will not come, so the next pipeline opens it at once.
TEST(Lep3SrcFailure, ASecondElementIsRefusedUntilTheFirstLetsGoAtEosOrNull)
{
    EmulatedBridge bridge;
    {
        Pipeline ended(appsink_pipeline(bridge.path(), "num-buffers=3"));
        ASSERT_NE(ended.play(), GST_STATE_CHANGE_FAILURE);
        EXPECT_EQ(ended.pull_all().size(), 3U);
        EXPECT_EQ(ended.wait_end(5s), "EOS");
        const auto t = Clock::now();
        EXPECT_EQ(ended.stop(), GST_STATE_CHANGE_SUCCESS);
        EXPECT_LE(seconds_since(t), 2.0);
    }

    Pipeline waiting(appsink_pipeline(bridge.path(), "timeout-ms=0"));
    ASSERT_NE(waiting.play(), GST_STATE_CHANGE_FAILURE);
    ASSERT_TRUE(waiting.pull());
    Pipeline second(appsink_pipeline(bridge.path()));
    EXPECT_EQ(second.play(), GST_STATE_CHANGE_FAILURE);
    const std::string end = second.wait_end(1s);
    EXPECT_NE(end.find("Another lep3src in this process"), std::string::npos) << end;
    EXPECT_NE(end.find("one camera per process"), std::string::npos) << end;
    EXPECT_TRUE(waiting.pull()) << "the refusal disturbed the first element";

    bridge.sim().set_faults({.silent = true});
    std::this_thread::sleep_for(300ms);
    const auto t = Clock::now();
    EXPECT_EQ(waiting.stop(), GST_STATE_CHANGE_SUCCESS);
    EXPECT_LE(seconds_since(t), 2.0);

    bridge.sim().set_faults({});
    second.stop();
    ASSERT_NE(second.play(), GST_STATE_CHANGE_FAILURE);
    EXPECT_TRUE(second.pull());
}

} // namespace
} // namespace lep3::gsttest
