// LEP3_Init and LEP3_Destroy against a plain pseudo-terminal: every failure path with
// its messages, the state a successful start leaves, and the exact video requests.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "link/link_internal.h"
#include "link/pty.h"

namespace {

using lep3::test::Pty;

std::string init_output(int expected)
{
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(LEP3_Init(), expected);
    fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

std::vector<uint8_t> read_available(int fd)
{
    std::vector<uint8_t> bytes;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 200) == 1) {
        std::array<uint8_t, 64> buf{};
        const ssize_t n = read(fd, buf.data(), buf.size());
        if (n <= 0)
            break;
        bytes.insert(bytes.end(), buf.begin(), buf.begin() + n);
    }
    return bytes;
}

int open_descriptors()
{
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd)
        n += fcntl(fd, F_GETFD) >= 0 ? 1 : 0;
    return n;
}

TEST(LifecycleTest, MissingDeviceFailsWithItsThreeMessages)
{
    ASSERT_EQ(LEP3_SetPath(LEP3_PATH_UART, "/nonexistent/ttyACM0"), 0);
    uart_fd = 5;
    EXPECT_EQ(init_output(-1), "open /nonexistent/ttyACM0 failure\nCan't open uart port!\nUart init failed!\n");
    EXPECT_EQ(uart_fd, -1);
    EXPECT_EQ(uart_queue.storage, nullptr) << "nothing is created after a port failure";
}

TEST(LifecycleTest, DeviceThatIsNoTerminalIsClosedAgain)
{
    ASSERT_EQ(LEP3_SetPath(LEP3_PATH_UART, "/dev/null"), 0);
    const int before = open_descriptors();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(init_output(-1), "Uart init failed!\n");
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("tcsetattr fd1"), std::string::npos);
    EXPECT_EQ(uart_fd, -1);
    EXPECT_EQ(open_descriptors(), before) << "the port was left open";
}

TEST(LifecycleTest, InitSetsUpPortQueuesDescriptorAndPalettes)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(LEP3_SetPath(LEP3_PATH_UART, pty.slave_path().c_str()), 0);
    frame_desc = frame_desc_t{9, 9, 9, 9, 9, 9};
    const std::string out = init_output(0);
    EXPECT_EQ(out, "LEP_Uart inited,fd=" + std::to_string(uart_fd) + "\nframeQueue size:4\n");
    EXPECT_GE(uart_fd, 0);
    EXPECT_EQ(uart_queue.capacity, 100000);
    EXPECT_NE(uart_queue.storage, nullptr);
    for (uint8_t *slot : frame_queue.slot)
        EXPECT_NE(slot, nullptr);
    EXPECT_EQ(frame_desc.reserved, 0U);
    EXPECT_EQ(frame_desc.format, 0U);
    EXPECT_EQ(frame_desc.width, 160U);
    EXPECT_EQ(frame_desc.height, 120U);
    EXPECT_EQ(frame_desc.size, 19200U);
    EXPECT_EQ(frame_desc.frame_number, 0U);

    const uint8_t *tables[] = {RGB24_pallette_fusion_256,    RGB24_pallette_icefire_256,    RGB24_pallette_rainbow_256,
                               RGB24_pallette_ironblack_256, RGB24_pallette_grayfusion_256, RGB24_pallette_whitehot_256,
                               RGB24_pallette_blackhot_256,  RGB24_pallette_globow_256,     RGB24_pallette_greyred_256,
                               RGB24_pallette_iron_256,      RGB24_pallette_rain_256};
    for (const uint8_t *table : tables) {
        int lit = 0;
        for (int i = 0; i < 768; ++i)
            lit += table[i] != 0 ? 1 : 0;
        EXPECT_GT(lit, 0) << "a palette table was left empty";
    }

    const int fd = uart_fd;
    LEP3_Destroy();
    EXPECT_EQ(uart_fd, fd) << "uart_fd keeps its old value";
    EXPECT_LT(fcntl(fd, F_GETFD), 0) << "the port stays open after LEP3_Destroy";
    EXPECT_EQ(uart_queue.storage, nullptr);
    EXPECT_EQ(uart_queue.capacity, 0);
    for (uint8_t *slot : frame_queue.slot)
        EXPECT_EQ(slot, nullptr);

    // And the link can be started again.
    init_output(0);
    LEP3_Destroy();
}

TEST(LifecycleTest, VideoRequestsWriteTheirExactPackets)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(LEP3_SetPath(LEP3_PATH_UART, pty.slave_path().c_str()), 0);
    init_output(0);
    EXPECT_EQ(LEP3_GetRGBVideo(), 0);
    EXPECT_EQ(read_available(pty.master()), (std::vector<uint8_t>{0xAA, 0x55, 0x02, 0x04, 0xFF, 0x96}));
    EXPECT_EQ(LEP3_GetRawVideo(), 0);
    EXPECT_EQ(read_available(pty.master()), (std::vector<uint8_t>{0xAA, 0x55, 0x02, 0x04, 0x00, 0xA3}));
    LEP3_Destroy();
}

TEST(LifecycleTest, VideoRequestOnAClosedPortReportsTheWriteResult)
{
    uart_fd = -1;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(LEP3_GetRawVideo(), -1);
    EXPECT_EQ(LEP3_GetRGBVideo(), -1);
    fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "LEP3_GetRawVideo: send command error:-1!\nLEP3_GetRGBVideo: send command error:-1!\n");
}

TEST(LifecycleTest, PacketCheckByteIsTheDallasCrc)
{
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(packet_crc8(digits, sizeof digits), 0xA1);
    const uint8_t run_0200[] = {0xAA, 0x55, 0x03, 0x02, 0x00, 0x02};
    EXPECT_EQ(packet_crc8(run_0200, sizeof run_0200), 0xAF);
    EXPECT_EQ(packet_crc8(run_0200, 0), 0);

    // Against the bitwise definition on many inputs.
    for (uint32_t seed = 1; seed < 300; ++seed) {
        std::vector<uint8_t> bytes(seed % 40);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<uint8_t>((seed * 2654435761U) >> (i % 24));
        uint8_t reg = 0;
        for (uint8_t b : bytes) {
            reg ^= b;
            for (int bit = 0; bit < 8; ++bit)
                reg = (reg & 1) != 0 ? static_cast<uint8_t>((reg >> 1) ^ 0x8C) : static_cast<uint8_t>(reg >> 1);
        }
        EXPECT_EQ(packet_crc8(bytes.data(), bytes.size()), reg);
    }
}

} // namespace
