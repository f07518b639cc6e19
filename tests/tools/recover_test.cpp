// lep3 recover on stranded bridges: one that starts in its bootloader, one whose update
// the bootloader refused, one whose update was killed mid-transfer.
// Each ends with the image programmed, the application running and the user RBFO set that
// was kept before written back.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/camera_core.h"
#include "tools/tool_fixture.h"

namespace {

using namespace std::chrono_literals;
using lep3::sim::Mode;
using lep3::test::ToolProcess;

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
