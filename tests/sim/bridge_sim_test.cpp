// The emulator is the yardstick for the library, so the few things the library's tests
// take on trust are checked here against fixed values and the raw pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "sim/bridge_sim.h"
#include "sim/checksums.h"
#include "sim/pty_device.h"
#include "support/spawn_program.h"

namespace lep3::sim {
namespace {

using lep3::test::spawn_program;

using Bytes = std::vector<uint8_t>;

// The host's end of an emulated device, opened through the published symlink, in raw mode.
class HostPort {
  public:
    explicit HostPort(const std::string &path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY))
    {
        EXPECT_TRUE(fd_.valid()) << path;
        termios tio{};
        ::tcgetattr(fd_.get(), &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(fd_.get(), TCSANOW, &tio);
    }
    void send(const Bytes &bytes) { ASSERT_EQ(::write(fd_.get(), bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    int fd() const { return fd_.get(); }
    // Reads until n bytes are there or nothing more comes within quiet_ms.
    Bytes take(size_t n, int quiet_ms = 2000)
    {
        Bytes out(n);
        size_t got = 0;
        for (pollfd pfd{fd_.get(), POLLIN, 0}; got<n && ::poll(&pfd, 1, quiet_ms)> 0;) {
            const ssize_t r = ::read(fd_.get(), out.data() + got, n - got);
            if (r <= 0)
                break;
            got += size_t(r);
        }
        out.resize(got);
        return out;
    }

  private:
    Fd fd_;
};

Bytes with_crc(Bytes p)
{
    p.push_back(crc8(p));
    return p;
}

Bytes test_image()
{
    Bytes image(130);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7 + 3);
    return image;
}

class BridgeSimTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/lep3-simtest-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        opts_.path = std::string(tmpl) + "/ttyACM0";
        opts_.boot_path = std::string(tmpl) + "/ttyACM1";
    }
    void TearDown() override { std::filesystem::remove_all(std::filesystem::path(opts_.path).parent_path()); }
    Options opts_;
};

TEST(Checksums, MatchTheReferenceValues)
{
    EXPECT_EQ(crc8(Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0xA1);
    EXPECT_EQ(crc8(Bytes{0xAA, 0x55, 0x02, 0x04, 0x00}), 0xA3); // raw video request
    EXPECT_EQ(crc32(Bytes{'a', 'b', 'c'}), 0xCA6598D0u);
    EXPECT_EQ(crc32(Bytes(4, 0xFF)), 0xDEBB20E3u);
    // The flash CRC masks the image and pads with erased bytes; a flash no larger adds none.
    const Bytes image = test_image();
    EXPECT_EQ(flash_crc32(image, 256), 0x151F65EFu);
    Bytes masked;
    for (uint8_t b : image)
        masked.push_back(b ^ kImageMask);
    EXPECT_EQ(flash_crc32(image, 100), crc32(masked));
}

TEST_F(BridgeSimTest, BadCheckByteIsCountedAndNotAnswered)
{
    BridgeSim sim(opts_);
    HostPort host(sim.path());
    Bytes bad = with_crc({0xAA, 0x55, 0x04, 0x02, 0x14, 0x00, 0x01});
    bad.back() ^= 0x01;
    host.send(bad);
    EXPECT_TRUE(host.take(1, 300).empty());
    host.send(with_crc({0xAA, 0x55, 0x04, 0x02, 0x14, 0x00, 0x01}));
    // FPA temperature, kelvin x 100 low byte first.
    EXPECT_EQ(host.take(9), with_crc({0xAA, 0x55, 0x05, 0x02, 0x14, 0x00, 0x5A, 0x75}));
    EXPECT_EQ(sim.crc_errors(), 1u);
    EXPECT_EQ(sim.request_count(0x0214), 1u);
}

TEST_F(BridgeSimTest, RawVideoFramePacketCarriesTheFrameBehindHeads)
{
    opts_.fps = 0;
    BridgeSim sim(opts_);
    HostPort host(sim.path());
    host.send(with_crc({0xAA, 0x55, 0x02, 0x04, 0x00}));
    const Bytes packet = host.take(5 + 240 * 164 + 1);
    ASSERT_EQ(packet.size(), 5 + 240 * 164 + 1u);
    EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 5), (Bytes{0xAA, 0x55, 0xFF, 0x04, 0x00}));
    EXPECT_EQ(packet.back(), crc8({packet.data(), packet.size() - 1}));
    std::vector<uint16_t> expected(kPixels), got(kPixels);
    BridgeSim::raw_frame(1, expected.data());
    for (size_t k = 0; k < 240; ++k)
        for (size_t i = 0; i < 80; ++i)
            got[k * 80 + i] = static_cast<uint16_t>(packet[9 + k * 164 + 2 * i] << 8 | packet[10 + k * 164 + 2 * i]);
    EXPECT_EQ(got, expected);
}

TEST_F(BridgeSimTest, RestartFlashAndBootRoundTrip)
{
    BridgeSim sim(opts_);
    const Bytes user_rbfo = sim.reg(0x0403);
    {
        HostPort host(sim.path());
        host.send(with_crc({0xAA, 0x55, 0x03, 0x04, 0x02, 0x02}));
        EXPECT_EQ(host.take(8), with_crc({0xAA, 0x55, 0x04, 0x04, 0x02, 0x02, 0x00}));
    }
    ASSERT_TRUE(sim.wait_mode(Mode::bootloader, 2000));
    EXPECT_FALSE(std::filesystem::exists(sim.path()));
    sim.set_faults(Faults{.commands = {}, .refuse_sync = 1});
    const Bytes image = test_image(), ack = {0x12, 0x10};
    {
        HostPort boot(opts_.boot_path);
        boot.send({0x21, 0x20});
        EXPECT_NE(boot.take(2), ack); // refused once
        boot.send({0x21, 0x20});
        EXPECT_EQ(boot.take(2), ack);
        boot.send({0x22, 0x04, 0x20});
        EXPECT_EQ(boot.take(6), (Bytes{0x00, 0x00, 0x04, 0x00, 0x12, 0x10}));
        boot.send({0x23, 0x20});
        EXPECT_NE(boot.take(2), ack); // still erasing at the first poll
        EXPECT_EQ(boot.take(2), ack);
        for (ptrdiff_t at = 0; at < ssize(image); at += 64) {
            const ptrdiff_t n = std::min<ptrdiff_t>(64, ssize(image) - at);
            Bytes block = {0x27, static_cast<uint8_t>(n)};
            block.insert(block.end(), image.begin() + at, image.begin() + at + n);
            block.push_back(0x20);
            boot.send(block);
            EXPECT_EQ(boot.take(2), ack);
        }
        boot.send({0x29, 0x20});
        const uint32_t crc = flash_crc32(image, 256 * 1024);
        EXPECT_EQ(boot.take(6),
                  (Bytes{uint8_t(crc), uint8_t(crc >> 8), uint8_t(crc >> 16), uint8_t(crc >> 24), 0x12, 0x10}));
        boot.send({0x30, 0x20});
        EXPECT_EQ(boot.take(2), ack);
    }
    EXPECT_EQ(sim.programmed_image(), image);
    ASSERT_TRUE(sim.wait_mode(Mode::app, 2000));
    // The new firmware lost the user RBFO set until the host writes it back.
    EXPECT_NE(sim.reg(0x0403), user_rbfo);
    HostPort host(sim.path());
    Bytes write = {0xAA, 0x55, 0x13, 0x04, 0x03, 0x01};
    write.insert(write.end(), user_rbfo.begin(), user_rbfo.end());
    host.send(with_crc(write));
    EXPECT_EQ(host.take(8), with_crc({0xAA, 0x55, 0x04, 0x04, 0x03, 0x01, 0x00}));
    EXPECT_EQ(sim.reg(0x0403), user_rbfo);
}

// Unplugged, the device is closed and its symlink gone: the host's open port reads
// end-of-file and its writes fail. Re-plugged, a new device answers at the same path, as
// a bridge that was off: not streaming, camera registers at their power-on values.
TEST_F(BridgeSimTest, UnplugClosesTheDeviceAndReplugPublishesAFreshOneAtTheSamePath)
{
    BridgeSim sim(opts_);
    HostPort host(sim.path());
    const Bytes get_fpa = with_crc({0xAA, 0x55, 0x04, 0x02, 0x14, 0x00, 0x01});
    const Bytes fpa_reply = with_crc({0xAA, 0x55, 0x05, 0x02, 0x14, 0x00, 0x5A, 0x75});
    sim.set_reg(0x0214, {0x00, 0x00});
    host.send(with_crc({0xAA, 0x55, 0x02, 0x04, 0x00})); // raw video
    EXPECT_EQ(host.take(5).size(), 5u);
    sim.unplug();
    EXPECT_FALSE(sim.plugged());
    EXPECT_EQ(sim.mode(), Mode::gone);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(sim.path())));
    uint8_t byte = 0;
    ssize_t n = 1;
    for (int i = 0; i < 100000 && n > 0; ++i)
        n = ::read(host.fd(), &byte, 1); // what was on its way, then end-of-file
    EXPECT_EQ(n, 0);
    EXPECT_EQ(::read(host.fd(), &byte, 1), 0);
    EXPECT_LT(::write(host.fd(), get_fpa.data(), get_fpa.size()), 0);

    sim.replug();
    EXPECT_TRUE(sim.plugged());
    EXPECT_EQ(sim.mode(), Mode::app);
    HostPort again(sim.path());
    again.send(get_fpa);
    EXPECT_EQ(again.take(9), fpa_reply) << "not at its power-on value, or no answer";
    EXPECT_TRUE(again.take(1, 300).empty()) << "streams before the host asks";
}

// The program's cable for people: SIGUSR1 pulls it and plugs it back.
TEST_F(BridgeSimTest, ProgramUnplugsAndReplugsOnSigusr1)
{
    const auto link_is = [&](bool there) {
        for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
            if (std::filesystem::exists(std::filesystem::symlink_status(opts_.path)) == there)
                return true;
        return false;
    };
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    ASSERT_EQ(spawn_program(&pid, {LEP3_BRIDGE_SIM_PATH, "--path", opts_.path}, &actions), 0);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_TRUE(link_is(true)); // by then it takes its signals
    for (const bool there : {false, true}) {
        kill(pid, SIGUSR1);
        EXPECT_TRUE(link_is(there)) << (there ? "not plugged back" : "not unplugged");
    }
    kill(pid, SIGTERM);
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(link_is(false)) << "the symlink outlived the program";
}

} // namespace
} // namespace lep3::sim
