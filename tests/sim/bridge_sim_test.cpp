// The emulator is the yardstick for the library. What the library's tests can't tell
// about it is checked here: its check sums against reference values, and its cable
// (unplug and re-plug) on the raw pseudo-terminal. Its packets, replies and bootloader are
// checked by the link and update tests, which follow the wire format on their own.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "sim/bridge_sim.h"
#include "sim/checksums.h"
#include "sim/image_files.h"
#include "sim/pty_device.h"

namespace lep3::sim {
namespace {

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
    Bytes image(130);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7 + 3);
    EXPECT_EQ(flash_crc32(image, 256), 0x151F65EFu);
    Bytes masked;
    for (uint8_t b : image)
        masked.push_back(b ^ kImageMask);
    EXPECT_EQ(flash_crc32(image, 100), crc32(masked));
}

// The version an image file's first line names, found as the library finds it but
// rounded to the hundredths the bridge reports.
TEST(ImageFiles, FirstLineVersionIsReadAsTheLibraryReadsIt)
{
    const struct {
        std::string file;
        std::optional<uint16_t> version;
    } cases[] = {
        {"SAMG55;V2.70\r\nbody", 270},
        {"SAMG55;V1.15\r\n", 115}, // 114.99999999999999 before rounding
        {"SAMG55;V\r\n", 0},       // the text is the lone LF
        {"SAMG55;V\r\r2.5\r\n", 250},
        {"SAMG55;V" + std::string(23, ' ') + "9.99\r\n", 0}, // beyond the 31 bytes read
        {"SAMG55;Vx", 0},                                    // no number reads as 0
        {"SAMG55;V-1.00\r\n", std::nullopt},
        {"SAMG56;V2.70\r\n", std::nullopt},
    };
    for (const auto &c : cases) {
        const Bytes file(c.file.begin(), c.file.end());
        EXPECT_EQ(first_line_version(file), c.version) << c.file;
    }
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

} // namespace
} // namespace lep3::sim
