// lep3 update against an emulated bridge published at paths of the test's choosing: the
// bootloader's device is given with --boot-device, versions read as the bridge shows
// them, an older image needs --force, and the version is checked after the update. The
// emulator, in the tool or as a program of its own, reports the version of the image
// file it was flashed from. lep3 recover on stranded bridges (one that starts in its
// bootloader, one whose update the bootloader refused, one whose update was killed
// mid-transfer) ends with the image programmed, the application running and the user
// RBFO set that was kept before written back.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/camera_core.h"
#include "support/spawn_program.h"
#include "tools/tool_fixture.h"

namespace {

using namespace std::chrono_literals;
using lep3::sim::Mode;
using lep3::test::ToolProcess;
using UpdateTest = lep3::test::BridgeTest;
using EmulatorUpdateTest = lep3::test::ToolTest;

constexpr uint16_t kRestartBridge = 0x0402;

// An image file whose data, when stamped, names its version as well: the emulator then
// reports that version once it runs the image. Enough data blocks for the bar to move.
std::string write_image(const std::string &path, const std::string &version, bool stamped)
{
    std::string data = stamped ? "SAMG55;V" + version : "";
    data.resize(64 * 60, '\x5a');
    std::ofstream(path, std::ios::binary) << "SAMG55;V" << version << "\r\n" << data;
    return data;
}

// The two runs of a whole update: the library's pauses alone take 6 s each.
TEST_F(UpdateTest, NewerImageGoesInOlderNeedsForceAndTheVersionIsCheckedAfterwards)
{
    const std::vector<std::string> update = {"update", "--device", device(), "--boot-device", options_.boot_path};
    auto with = [&update](std::vector<std::string> more) {
        std::vector<std::string> args = update;
        args.insert(args.end(), more.begin(), more.end());
        return lep3::test::run_tool(args);
    };

    const std::string data = write_image(path("SAMG55_V2.70.talvor"), "2.70", true);
    auto r = with({path("SAMG55_V2.70.talvor")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.end()), sim().programmed_image());
    // Versions as the bridge shows them; the bar moves with the acknowledged blocks while
    // the library's progress value stays at 15 during the transfer.
    for (const char *text : {"bridge firmware 2.62, image 2.70: updating\n", " of 60\n", "progress 100%\n",
                             "update complete: the bridge runs firmware 2.70\n"})
        EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
    EXPECT_TRUE(lep3::test::search(r.out, "progress (1[6-9]|[2-5][0-9]|6[0-4])%, block [0-9]+ of 60\n")) << r.out;

    // 1.15 is older than 2.70 (and not read as 1.14): refused before the bridge restarts.
    write_image(path("old.talvor"), "1.15", false);
    sim().clear_requests();
    r = with({path("old.talvor")});
    lep3::test::expect_clean_failure(r, "the image holds firmware 1.15, older than the bridge's 2.70; --force");
    EXPECT_EQ(sim().request_count(kRestartBridge), 0u);

    // Forced in; this image doesn't name its version inside, so the bridge still reports
    // 2.70 afterwards, and the tool says so.
    r = with({"--force", path("old.talvor")});
    lep3::test::expect_clean_failure(r, "the bridge reports firmware 2.70, not the image's 1.15");
    EXPECT_EQ(sim().request_count(kRestartBridge), 1u);
}

// The image's body names no version: the emulator in the tool is told the file; the
// emulator as a program finds it in the directory it was given.
TEST_F(EmulatorUpdateTest, EmulatorInTheToolOrAsAProgramReportsTheVersionOfTheImageFilesFirstLine)
{
    constexpr char kComplete[] = "update complete: the bridge runs firmware 2.70\n";
    std::filesystem::create_directory(path("images"));
    const std::string image = path("images/SAMG55_V2.70.talvor"), device = path("bridge");
    write_image(image, "2.70", false);
    auto r = lep3::test::run_tool({"update", "--sim", image});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(kComplete), std::string::npos) << r.out;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    ASSERT_EQ(lep3::test::spawn_program(&pid, {LEP3_BRIDGE_SIM_PATH, "--path", device, "--image-dir", path("images")},
                                        &actions),
              0);
    posix_spawn_file_actions_destroy(&actions);
    std::error_code ignored;
    EXPECT_TRUE(lep3::test::eventually([&] { return std::filesystem::exists(device, ignored); }))
        << "the emulator published no device at " << device;
    r = lep3::test::run_tool({"update", "--device", device, "--boot-device", device + ".boot", image});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(kComplete), std::string::npos) << r.out;
    kill(pid, SIGTERM);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// ---- lep3 recover on stranded bridges ---------------------------------------------------

constexpr uint16_t kUserRbfo = 0x0403;

class RecoverTest : public lep3::test::BridgeTest {
  protected:
    void SetUp() override
    {
        lep3::test::ToolTest::SetUp(); // the tool's state directory: path("state")
        options_.path = path("bridge");
        options_.boot_path = path("bridge-loader");
        // Enough data blocks that a transfer is still running when the test kills it.
        data_ = "SAMG55;V1.07";
        data_.resize(64 * 200, '\x5a');
        std::ofstream(image(), std::ios::binary) << "SAMG55;V1.07\r\n" << data_;
    }

    std::string image() const { return path("image.talvor"); }

    // Recovers, then checks the bridge runs the image with the set written back.
    void recover(const std::vector<std::string> &more, const std::vector<uint8_t> &rbfo)
    {
        std::vector<std::string> args = {"recover", "--device", device(), image()};
        args.insert(args.end(), more.begin(), more.end());
        const auto r = lep3::test::run_tool(args);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("recovered: the bridge at " + device() + " runs firmware 1.07"), std::string::npos)
            << r.out;
        EXPECT_EQ(sim().programmed_image(), std::vector<uint8_t>(data_.begin(), data_.end()));
        EXPECT_EQ(sim().mode(), Mode::app);
        EXPECT_EQ(sim().reg(kUserRbfo), rbfo);
    }

    std::string data_;
};

TEST_F(RecoverTest, ABridgeStartedInItsBootloaderIsFoundAndFlashed)
{
    options_.in_bootloader = true;
    plug();
    std::filesystem::create_directories(path("state/lep3"));
    std::ofstream(path("state/lep3/user-rbfo")) << "11 22 33 44\n";
    // No --boot-device: the one device beside the vanished application's.
    recover({}, lep3::sim::words32({11, 22, 33, 44}));
}

// An update the bootloader refused (the message names the device tried), or one killed
// mid-transfer (one block goes unanswered, so the host still waits for it when the kill
// comes), leaves the bridge in its bootloader.
TEST_F(RecoverTest, AnUpdateRefusedOrKilledMidTransferLeavesABridgeThatRecoverFlashes)
{
    const auto kept = lep3::sim::words32({5, 6, 7, 8});
    const std::vector<std::string> update = {"update",           "--device", device(), "--boot-device",
                                             options_.boot_path, "--force",  image()};
    for (const bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "killed" : "refused");
        unplug();
        plug();
        sim().set_reg(kUserRbfo, kept);
        sim().set_faults(killed ? lep3::sim::Faults{.drop_block_ack = 100} : lep3::sim::Faults{.refuse_block = 0});
        ToolProcess p(update);
        if (killed) {
            ASSERT_TRUE(lep3::test::eventually([&] { return sim().boot_received().size() > 64 * 100; }, 30s));
            p.send_signal(SIGKILL);
        }
        const auto r = p.finish();
        if (!killed) {
            lep3::test::expect_clean_failure(r, "the bootloader did not take the image at " + options_.boot_path);
            EXPECT_NE(r.err.find("--boot-device"), std::string::npos) << r.err;
        }
        ASSERT_TRUE(sim().wait_mode(Mode::bootloader, 5000));
        sim().set_faults({});
        recover({"--boot-device", options_.boot_path}, kept);
    }
}

} // namespace
