// The serial port's terminal settings, and LEP3_Init and LEP3_Destroy against a plain
// pseudo-terminal: the failures to open a port with their messages, the state a successful start
// leaves, the exact video requests, descriptors the library no longer holds, and repeated
// starts that leak nothing.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "link/helpers.h"
#include "link/serial_port.h"
#include "support/process_counts.h"

namespace {

using lep3::test::heap_in_use;
using lep3::test::open_descriptors;
using lep3::test::Pty;
using lep3::test::stdout_of;

bool is_open(int fd)
{
    return fcntl(fd, F_GETFD) >= 0;
}

std::string init_output(int expected)
{
    return stdout_of([&] { EXPECT_EQ(LEP3_Init(), expected); });
}

termios attrs(int fd)
{
    termios t{};
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    return t;
}

TEST(SerialPortTest, NoParityGivesARawEightBitBlockingLink)
{
    Pty pty;
    lep3::link::Fd port(open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY));
    ASSERT_TRUE(port.valid());
    ASSERT_NE(attrs(port.get()).c_lflag & ICANON, 0U) << "a new terminal starts in canonical mode";
    ASSERT_EQ(set_Parity(port.get(), 8, 1, 'n'), 0);
    termios t = attrs(port.get());
    EXPECT_EQ(t.c_iflag, tcflag_t(IGNPAR));
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL | HUPCL), tcflag_t(CREAD | CLOCAL | HUPCL));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0U);
    EXPECT_EQ(t.c_oflag & OPOST, 0U);
    EXPECT_EQ(t.c_cc[VMIN] * 100 + t.c_cc[VTIME], 100) << "VMIN 1, VTIME 0";
    EXPECT_EQ(set_uart_speed(port.get(), 250000), -1) << "only speeds in the table";
    EXPECT_EQ(set_uart_speed(port.get(), 115200), 0);
    t = attrs(port.get());
    EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));
}

TEST(LifecycleTest, MissingDeviceOrOneThatIsNoTerminalFailsAndLeavesNothingOpen)
{
    ASSERT_EQ(LEP3_SetPath(LEP3_PATH_UART, "/nonexistent/ttyACM0"), 0);
    EXPECT_EQ(init_output(-1), "open /nonexistent/ttyACM0 failure\nCan't open uart port!\nUart init failed!\n");
    EXPECT_EQ(uart_fd, -1);
    EXPECT_EQ(uart_queue.storage, nullptr) << "nothing is created after a port failure";

    ASSERT_EQ(LEP3_SetPath(LEP3_PATH_UART, "/dev/null"), 0);
    const int next_fd = open("/dev/null", O_RDONLY); // the lowest free descriptor
    close(next_fd);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(init_output(-1), "Uart init failed!\n");
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("tcsetattr fd1"), std::string::npos);
    EXPECT_EQ(uart_fd, -1);
    const int again = open("/dev/null", O_RDONLY);
    EXPECT_EQ(again, next_fd) << "the port was left open";
    close(again);
}

TEST(LifecycleTest, InitSetsUpTheLinkAndDestroyTearsItDownForAnotherStart)
{
    Pty pty;
    ASSERT_EQ(LEP3_SetPath(LEP3_PATH_UART, pty.slave_path.c_str()), 0);
    frame_desc = frame_desc_t{9, 9, 9, 9, 9, 9};
    const std::string out = init_output(0);
    EXPECT_EQ(out, "LEP_Uart inited,fd=" + std::to_string(uart_fd) + "\nframeQueue size:4\n");
    EXPECT_EQ(uart_queue.capacity, 100000);
    for (uint8_t *slot : frame_queue.slot)
        EXPECT_NE(slot, nullptr);
    const frame_desc_t d = frame_desc;
    EXPECT_EQ(std::vector<uint32_t>({d.reserved, d.format, d.width, d.height, d.size, d.frame_number}),
              std::vector<uint32_t>({0, 0, 160, 120, 19200, 0}));

    const int fd = uart_fd;
    LEP3_Destroy();
    EXPECT_EQ(uart_fd, fd) << "uart_fd keeps its old value";
    EXPECT_LT(fcntl(fd, F_GETFD), 0) << "the port stays open after LEP3_Destroy";
    EXPECT_EQ(uart_queue.storage, nullptr);
    for (uint8_t *slot : frame_queue.slot)
        EXPECT_EQ(slot, nullptr);
    init_output(0);
    LEP3_Destroy();
}

TEST(LifecycleTest, VideoRequestsWriteTheirExactPackets)
{
    Pty pty;
    ASSERT_EQ(LEP3_SetPath(LEP3_PATH_UART, pty.slave_path.c_str()), 0);
    init_output(0);
    for (const bool rgb : {true, false}) {
        EXPECT_EQ(rgb ? LEP3_GetRGBVideo() : LEP3_GetRawVideo(), 0);
        std::vector<uint8_t> bytes(16);
        pollfd p{pty.master.get(), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 2000), 1);
        bytes.resize(size_t(std::max<ssize_t>(0, read(pty.master.get(), bytes.data(), bytes.size()))));
        EXPECT_EQ(bytes, (std::vector<uint8_t>{0xAA, 0x55, 0x02, 0x04, uint8_t(rgb ? 0xFF : 0x00),
                                               uint8_t(rgb ? 0x96 : 0xA3)}));
    }
    LEP3_Destroy(); // the write results after it: with the descriptors the library doesn't hold
}

// Video requests and commands in the classic calling order, before any LEP3_Init or
// after LEP3_Destroy: each fails at once as a write to a closed port does.
std::string requests_without_a_port()
{
    return stdout_of([] {
        command_read_t reply{};
        const uint32_t value = 1;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(LEP3_GetRawVideo() + LEP3_GetRGBVideo() + LEP3_RunCommand(0x0202, &reply) +
                      LEP3_GetCommand(0x0214, 1, &reply) + LEP3_SetCommand(0x0100, &value, sizeof value, &reply),
                  -5);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    });
}

// uart_fd is 0 at load, like every link global, and a descriptor number the library has
// closed may come back to the host: neither is closed or written by a stray LEP3_Destroy,
// a video request or a command. A file the host opens after LEP3_Destroy gets the port's
// number and keeps it.
TEST(LifecycleTest, DescriptorsTheLibraryDoesNotHoldAreNeverClosedOrWritten)
{
    const std::string refused = "LEP3_GetRawVideo: send command error:-1!\nLEP3_GetRGBVideo: send command error:-1!\n"
                                "LEP3_RunCommand: send command error:-1!\nLEP3_GetCommand: send command error:-1!\n"
                                "LEP3_SetCommand: send command error:-1!\n";
    EXPECT_EQ(uart_fd, 0);
    EXPECT_EQ(requests_without_a_port(), refused) << "written to the host's standard input";
    if (!is_open(0)) {
        ASSERT_EQ(open("/dev/null", O_RDONLY), 0);
    }
    LEP3_Destroy();
    EXPECT_TRUE(is_open(0)) << "a LEP3_Destroy before any LEP3_Init closed descriptor 0";

    Pty pty;
    ASSERT_EQ(LEP3_SetPath(LEP3_PATH_UART, pty.slave_path.c_str()), 0);
    init_output(0);
    const int port = uart_fd;
    LEP3_Destroy();
    ASSERT_FALSE(is_open(port));
    char name[] = "/tmp/lep3-hostfile-XXXXXX";
    const int opened = mkstemp(name);
    const int host_file = dup2(opened, port); // the host's file with the freed number
    close(opened);
    ASSERT_EQ(host_file, port);
    EXPECT_EQ(requests_without_a_port(), refused);
    LEP3_Destroy();
    EXPECT_TRUE(is_open(host_file)) << "a second LEP3_Destroy closed the host's file";
    EXPECT_EQ(lseek(host_file, 0, SEEK_END), 0) << "a request wrote to the host's file";
    close(host_file);
    unlink(name);
}

// A second LEP3_Init without LEP3_Destroy releases what the first one holds. Neither 100
// starts and stops nor 100 double starts leave a descriptor or a byte of heap behind.
TEST(LifecycleTest, RepeatedAndDoubleStartsLeakNoDescriptorAndNoMemory)
{
    Pty pty;
    ASSERT_EQ(LEP3_SetPath(LEP3_PATH_UART, pty.slave_path.c_str()), 0);
    LEP3_SetMessageHandler(nullptr, nullptr);
    ASSERT_EQ(LEP3_Init(), 0); // first use of everything the library keeps for good
    LEP3_Destroy();
    const size_t descriptors = open_descriptors();
    const size_t heap = heap_in_use();
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(LEP3_Init(), 0);
        LEP3_Destroy();
    }
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_EQ(heap_in_use(), heap);
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(LEP3_Init(), 0);
        ASSERT_EQ(LEP3_Init(), 0);
        ASSERT_EQ(open_descriptors(), descriptors + 1) << "the first port is still open";
    }
    LEP3_Destroy();
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_EQ(heap_in_use(), heap);
    LEP3_SetMessageHandler(LEP3_ConsoleMessages, nullptr);
}

} // namespace
