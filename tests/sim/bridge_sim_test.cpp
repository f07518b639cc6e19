// The emulator is the yardstick for the library, so the few things the library's tests
// take on trust are checked here against fixed values and the raw pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/bridge_sim.h"
#include "sim/checksums.h"
#include "sim/pty_device.h"

namespace lep3::sim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes text(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

// The host's end of an emulated device, opened through the published symlink.
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
    // Reads until n bytes are there or nothing more comes within quiet_ms.
    Bytes take(size_t n, int quiet_ms = 2000)
    {
        Bytes out(n);
        size_t got = 0;
        while (got < n) {
            pollfd pfd{fd_.get(), POLLIN, 0};
            if (::poll(&pfd, 1, quiet_ms) <= 0)
                break;
            const ssize_t r = ::read(fd_.get(), out.data() + got, n - got);
            if (r <= 0)
                break;
            got += static_cast<size_t>(r);
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

class BridgeSimTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/lep3-simtest-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    Options options() const
    {
        Options o;
        o.path = dir_ + "/ttyACM0";
        o.boot_path = dir_ + "/ttyACM1";
        return o;
    }
    std::string dir_;
};

TEST(Checksums, MatchTheReferenceValues)
{
    EXPECT_EQ(crc8(text("123456789")), 0xA1);
    EXPECT_EQ(crc8(Bytes{0xAA, 0x55, 0x02, 0x04, 0x00}), 0xA3); // raw video request
    EXPECT_EQ(crc32(text("abc")), 0xCA6598D0u);
    EXPECT_EQ(crc32(Bytes(4, 0xFF)), 0xDEBB20E3u);
}

TEST(Checksums, FlashCrcMasksTheImageAndPadsWithErasedBytes)
{
    Bytes image(130);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7 + 3);
    EXPECT_EQ(flash_crc32(image, 256), 0x151F65EFu);
    // A flash no larger than the image adds no padding.
    Bytes masked = image;
    for (auto &b : masked)
        b ^= kImageMask;
    EXPECT_EQ(flash_crc32(image, 130), crc32(masked));
    EXPECT_EQ(flash_crc32(image, 100), crc32(masked));
}

TEST(Frames, StampRoundTripsAndPixelsStayFourteenBit)
{
    std::vector<uint16_t> raw(kPixels);
    std::vector<uint8_t> rgb(size_t{kPixels} * 3);
    for (uint32_t seq : {1u, 2u, 0x3FFFu, 0x4000u, 0x0FFFFFFFu}) {
        BridgeSim::raw_frame(seq, raw.data());
        EXPECT_EQ(BridgeSim::stamp_of_raw(raw.data()), seq);
        EXPECT_LE(*std::max_element(raw.begin(), raw.end()), 0x3FFF);
        BridgeSim::rgb_frame(seq, rgb.data());
        EXPECT_EQ(BridgeSim::stamp_of_rgb(rgb.data()), seq);
    }
    // The warm spot moves: the hottest pixel is elsewhere twenty frames later.
    BridgeSim::raw_frame(1, raw.data());
    const auto hot1 = std::max_element(raw.begin() + 2, raw.end()) - raw.begin();
    BridgeSim::raw_frame(21, raw.data());
    const auto hot21 = std::max_element(raw.begin() + 2, raw.end()) - raw.begin();
    EXPECT_NE(hot1, hot21);
    EXPECT_NEAR(raw[kPixels - 1], 8000, 300); // a corner is background
}

TEST_F(BridgeSimTest, BadCheckByteIsCountedAndNotAnswered)
{
    BridgeSim sim(options());
    HostPort host(sim.path());
    Bytes bad = with_crc({0xAA, 0x55, 0x04, 0x02, 0x14, 0x00, 0x01});
    bad.back() ^= 0x01;
    host.send(bad);
    EXPECT_TRUE(host.take(1, 300).empty());
    host.send(with_crc({0xAA, 0x55, 0x04, 0x02, 0x14, 0x00, 0x01}));
    // FPA temperature, kelvin x 100 low byte first.
    EXPECT_EQ(host.take(9), with_crc({0xAA, 0x55, 0x05, 0x02, 0x14, 0x00, 0x5A, 0x75}));
    EXPECT_EQ(sim.crc_errors(), 1u);
    EXPECT_EQ(sim.requests().size(), 1u);
    EXPECT_EQ(sim.request_count(0x0214), 1u);
    EXPECT_EQ(sim.received().size(), 16u);
}

TEST_F(BridgeSimTest, CommandFaultsShapeTheReply)
{
    BridgeSim sim(options());
    HostPort host(sim.path());
    Faults f;
    f.commands[0x0200].wrong_id = true;
    f.commands[0x0218].status = 5;
    f.commands[0x0100].data_len_override = 0;
    sim.set_faults(f);
    host.send(with_crc({0xAA, 0x55, 0x03, 0x02, 0x00, 0x02}));
    EXPECT_EQ(host.take(8), with_crc({0xAA, 0x55, 0x04, 0x02, 0x01, 0x02, 0x00}));
    host.send(with_crc({0xAA, 0x55, 0x04, 0x02, 0x18, 0x00, 0x02}));
    EXPECT_EQ(host.take(8), with_crc({0xAA, 0x55, 0x04, 0x02, 0x18, 0x00, 0x05}));
    host.send(with_crc({0xAA, 0x55, 0x04, 0x01, 0x00, 0x00, 0x02}));
    EXPECT_EQ(host.take(7), with_crc({0xAA, 0x55, 0x03, 0x01, 0x00, 0x00}));
}

TEST_F(BridgeSimTest, RawVideoFramePacketCarriesTheFrameBehindHeads)
{
    Options o = options();
    o.fps = 0;
    BridgeSim sim(o);
    HostPort host(sim.path());
    host.send(with_crc({0xAA, 0x55, 0x02, 0x04, 0x00}));
    constexpr size_t kData = size_t{240} * (4 + 160);
    const Bytes packet = host.take(5 + kData + 1);
    ASSERT_EQ(packet.size(), 5 + kData + 1);
    EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 5), (Bytes{0xAA, 0x55, 0xFF, 0x04, 0x00}));
    EXPECT_EQ(packet.back(), crc8({packet.data(), packet.size() - 1}));

    std::vector<uint16_t> expected(kPixels), got(kPixels);
    BridgeSim::raw_frame(1, expected.data());
    int heads_with_sync = 0;
    for (size_t k = 0; k < 240; ++k) {
        const uint8_t *head = packet.data() + 5 + k * 164;
        heads_with_sync += head[0] == 0xAA && head[1] == 0x55;
        for (size_t i = 0; i < 80; ++i)
            got[k * 80 + i] = static_cast<uint16_t>(head[4 + 2 * i] << 8 | head[5 + 2 * i]);
    }
    EXPECT_EQ(got, expected);
    EXPECT_GT(heads_with_sync, 0); // sync-like bytes inside the frame data
}

TEST_F(BridgeSimTest, RestartFlashAndBootRoundTrip)
{
    BridgeSim sim(options());
    const Bytes user_rbfo = sim.reg(0x0403);
    {
        HostPort host(sim.path());
        host.send(with_crc({0xAA, 0x55, 0x03, 0x04, 0x02, 0x02}));
        EXPECT_EQ(host.take(8), with_crc({0xAA, 0x55, 0x04, 0x04, 0x02, 0x02, 0x00}));
    }
    ASSERT_TRUE(sim.wait_mode(Mode::bootloader, 2000));
    EXPECT_FALSE(std::filesystem::exists(sim.path()));

    Faults f;
    f.refuse_sync = 1;
    sim.set_faults(f);
    Bytes image(130);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7 + 3);
    {
        HostPort boot(options().boot_path);
        const Bytes ack = {0x12, 0x10};
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
        const Bytes crc = boot.take(6);
        const uint32_t expected = flash_crc32(image, 256 * 1024);
        EXPECT_EQ(crc, (Bytes{uint8_t(expected), uint8_t(expected >> 8), uint8_t(expected >> 16),
                              uint8_t(expected >> 24), 0x12, 0x10}));
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

} // namespace
} // namespace lep3::sim
