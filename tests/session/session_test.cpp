// The managed session against the emulator: opening and closing, waiting with time-outs,
// unplug and re-plug, exclusive use, and the firmware update through the session.
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <fstream>

#include "session/session_fixture.h"
#include "support/spawn_program.h"

namespace lep3::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Each frame with its facts: format, size, check and when it was completed.
TEST_F(SessionTest, OpenFramesCloseFiftyTimesLeavesNoDescriptorOrThread)
{
    // Warm up once: the first open creates lazily made process-wide state.
    ASSERT_EQ(LEP3_Open(path().c_str()), 0);
    LEP3_Close();
    const size_t fds = open_descriptors();
    const size_t threads = running_threads();
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(LEP3_Open(path().c_str()), 0) << "cycle " << i;
        ASSERT_EQ(LEP3_GetRawVideo(), 0);
        const Taken t = take_frame(5000);
        ASSERT_EQ(t.result, 0) << "cycle " << i;
        EXPECT_TRUE(whole(t));
        EXPECT_EQ(std::tie(t.info.format, t.info.size, t.info.width, t.info.height, t.info.check_ok),
                  std::tuple(0U, 38400U, 160U, 120U, 1U));
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const uint64_t now_ns = static_cast<uint64_t>(now.tv_sec) * 1000000000U + static_cast<uint64_t>(now.tv_nsec);
        EXPECT_LE(t.info.completed_ns, now_ns);
        EXPECT_GT(t.info.completed_ns + 2000000000U, now_ns);
        LEP3_Close();
        EXPECT_EQ(LEP3_GetLinkState(), LEP3_LINK_CLOSED);
    }
    EXPECT_EQ(open_descriptors(), fds);
    // Every loop was joined; under qemu-user a joined thread can stay listed a moment longer.
    EXPECT_TRUE(eventually([&] { return running_threads() == threads; }, 2s)) << running_threads() << " threads";
    LEP3_Close(); // a second close does nothing
}

// A bridge streams on after its host has gone: the next host opens the port in the middle
// of a frame. Whatever the pixel bytes there look like, its first request is answered.
TEST_F(SessionTest, AHostOpeningWhileTheBridgeStreamsHasItsFirstRequestAnswered)
{
    ASSERT_EQ(LEP3_Open(path().c_str()), 0);
    ASSERT_EQ(LEP3_GetRawVideo(), 0);
    ASSERT_EQ(take_frame(5000).result, 0);
    LEP3_Close();
    for (int i = 0; i < 8; ++i) {
        // The emulator stops in a different place of a frame each time: its writes wait
        // for room while nobody reads.
        std::this_thread::sleep_for(std::chrono::milliseconds(37 * i));
        ASSERT_EQ(LEP3_Open(path().c_str()), 0);
        float celsius = 0;
        EXPECT_EQ(LEP3_GetSysFpaTemperatureCelcius(&celsius), 0) << "open " << i;
        EXPECT_EQ(take_frame(5000).result, 0) << "the stream goes on";
        LEP3_Close();
    }
}

TEST_F(SessionTest, BadArgumentsAreRefusedWithoutWritingPastTheBuffer)
{
    ASSERT_EQ(LEP3_Open(path().c_str()), 0);
    ASSERT_EQ(LEP3_GetRGBVideo(), 0);
    EXPECT_EQ(LEP3_WaitFrame(nullptr, 57600, nullptr, 100), -5);
    // A raw-sized buffer can't take an RGB frame: -3, and nothing beyond it is touched.
    std::vector<uint8_t> buffer(38400 + 64, 0xA5);
    int result = 0;
    EXPECT_TRUE(eventually([&] { return (result = LEP3_WaitFrame(buffer.data(), 38400, nullptr, 100)) == -3; }));
    for (size_t i = 38400; i < buffer.size(); ++i)
        ASSERT_EQ(buffer[i], 0xA5);
    // The frame that didn't fit is still there for a buffer that fits.
    std::vector<uint8_t> rgb(57600);
    lep3_frame_info_t info{};
    EXPECT_EQ(LEP3_WaitFrame(rgb.data(), rgb.size(), &info, 2000), 0);
    EXPECT_EQ(info.format, 1U);
    EXPECT_EQ(LEP3_Open(path().c_str()), -7); // one camera per process
    EXPECT_EQ(LEP3_GetUpdateBlocks(nullptr, nullptr), -5);
}

TEST_F(SessionTest, SilentBridgeGivesNoFrameWithinTheTimeOut)
{
    ASSERT_EQ(LEP3_Open(path().c_str()), 0);
    auto faults = sim().faults();
    faults.silent = true;
    sim().set_faults(faults);
    ASSERT_EQ(LEP3_GetRawVideo(), 0);
    const auto start = Clock::now();
    EXPECT_EQ(take_frame(300).result, -2);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 300ms);
    EXPECT_LT(waited, 2s);
    EXPECT_TRUE(eventually([] { return LEP3_GetLinkState() == LEP3_LINK_SILENT; }, 3s));
    const auto closing = Clock::now();
    LEP3_Close();
    EXPECT_LT(Clock::now() - closing, 2s);
}

TEST_F(SessionTest, UnplugIsSeenAndReplugResumesWholeFrames)
{
    ASSERT_EQ(LEP3_Open(path().c_str()), 0);
    ASSERT_EQ(LEP3_GetRawVideo(), 0);
    ASSERT_EQ(take_frame(5000).result, 0);

    unplug();
    const auto unplugged = Clock::now();
    EXPECT_TRUE(eventually([] { return LEP3_GetLinkState() == LEP3_LINK_GONE; }, 1s));
    EXPECT_LT(Clock::now() - unplugged, 1s);
    while (take_frame(0).result == 0) {
        // frames completed before the unplug may still be taken
    }
    EXPECT_EQ(take_frame(300).result, -6);

    plug();
    ASSERT_TRUE(eventually([] { return LEP3_GetLinkState() == LEP3_LINK_UP; }));
    const Taken resumed = take_frame(5000);
    ASSERT_EQ(resumed.result, 0);
    for (uint32_t i = 0, previous = 0; i < 5; ++i) {
        const Taken t = i == 0 ? resumed : take_frame(5000);
        ASSERT_EQ(t.result, 0);
        EXPECT_TRUE(whole(t)) << "frame " << i << " after the re-plug is torn";
        EXPECT_GT(t.info.frame_number, previous) << "frames newest first";
        previous = t.info.frame_number;
    }
    EXPECT_EQ(LEP3_GetLinkState(), LEP3_LINK_UP);
    lep3_link_stats_t stats{};
    ASSERT_EQ(LEP3_GetLinkStats(&stats), 0);
    EXPECT_EQ(stats.reconnects, 1U);
    // The video request that was running is made again on the new link.
    EXPECT_GE(sim().request_count(0x0004) + sim().requests().size(), 1U);
}

TEST_F(SessionTest, CloseIsBoundedOnAnUnpluggedBridge)
{
    ASSERT_EQ(LEP3_Open(path().c_str()), 0);
    unplug();
    std::this_thread::sleep_for(20ms); // before or after the supervisor notices: both must be bounded
    const auto closing = Clock::now();
    LEP3_Close();
    EXPECT_LT(Clock::now() - closing, 2s);
    EXPECT_EQ(LEP3_GetLinkState(), LEP3_LINK_CLOSED);
}

// Runs the probe program (a host in a process of its own) against the bridge; its exit
// status is LEP3_Open's result, negated.
int open_in_another_process(const std::string &device)
{
    pid_t pid = 0;
    if (spawn_program(&pid, {LEP3_TEST_OPEN_PROBE, device}) != 0)
        return 1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? -WEXITSTATUS(status) : 1;
}

TEST_F(SessionTest, SecondProcessIsRefusedAndTheFirstKeepsStreaming)
{
    ASSERT_EQ(LEP3_Open(path().c_str()), 0);
    ASSERT_EQ(LEP3_GetRawVideo(), 0);
    ASSERT_EQ(take_frame(5000).result, 0);
    EXPECT_EQ(open_in_another_process(path()), -7);
    for (int i = 0; i < 3; ++i) {
        const Taken t = take_frame(5000);
        ASSERT_EQ(t.result, 0);
        EXPECT_TRUE(whole(t));
    }
    LEP3_Close();
    EXPECT_EQ(open_in_another_process(path()), 0); // released
}

TEST_F(SessionTest, FirmwareUpdateThroughTheSessionEndsWithFramesFlowing)
{
    ASSERT_EQ(LEP3_Open(path().c_str()), 0);
    ASSERT_EQ(LEP3_GetRawVideo(), 0);
    ASSERT_EQ(take_frame(5000).result, 0);

    // A file the transfer would refuse costs nothing: no restart request reaches the bridge.
    const std::string bad = bridge_.dir() + "/bad.bin";
    std::ofstream(bad) << "not an image";
    sim().clear_requests();
    EXPECT_EQ(LEP3_UpdateFirmware(bad.c_str()), -3);
    EXPECT_EQ(sim().request_count(0x0402), 0U);

    std::string image(3 * 64 + 17, '\0');
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 7 + 3);
    const std::string good = bridge_.dir() + "/new-firmware.bin";
    std::ofstream(good, std::ios::binary) << "SAMG55;V1.07\r\n" << image;

    std::atomic<bool> finished{false};
    std::atomic<uint32_t> most_blocks{0};
    std::thread follower([&] {
        while (!finished) {
            uint32_t acked = 0;
            uint32_t total = 0;
            LEP3_GetUpdateBlocks(&acked, &total);
            EXPECT_LE(acked, total);
            most_blocks = std::max(most_blocks.load(), acked);
            std::this_thread::sleep_for(2ms);
        }
    });
    EXPECT_EQ(LEP3_UpdateFirmware(good.c_str()), 0);
    finished = true;
    follower.join();
    EXPECT_EQ(most_blocks.load(), 4U);
    EXPECT_EQ(sim().programmed_image(), std::vector<uint8_t>(image.begin(), image.end()));

    EXPECT_EQ(LEP3_GetLinkState(), LEP3_LINK_UP);
    for (int i = 0; i < 3; ++i) {
        const Taken t = take_frame(5000);
        ASSERT_EQ(t.result, 0);
        EXPECT_TRUE(whole(t));
    }
}

} // namespace
} // namespace lep3::test
