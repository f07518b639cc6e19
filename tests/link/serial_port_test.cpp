// The serial port layer: the exact terminal configuration, the speed table and the
// refusals that must leave the port as it was.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>

#include <cstdio>
#include <string>

#include "link/link_internal.h"
#include "link/pty.h"
#include "link/serial_port.h"

namespace {

using lep3::link::Fd;
using lep3::test::Pty;

class SerialPortTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty.ok());
        port.reset(open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY));
        ASSERT_TRUE(port.valid());
    }

    termios attrs() const
    {
        termios t{};
        EXPECT_EQ(tcgetattr(port.get(), &t), 0);
        return t;
    }

    // Runs set_Parity and returns what it wrote to standard error.
    std::string parity_stderr(int databits, int stopbits, int parity, int expected_result)
    {
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(set_Parity(port.get(), databits, stopbits, parity), expected_result);
        return ::testing::internal::GetCapturedStderr();
    }

    Pty pty;
    Fd port;
};

TEST_F(SerialPortTest, NoParityGivesARawEightBitBlockingLink)
{
    termios messy = attrs();
    messy.c_iflag |= ICRNL | IXON | ISTRIP;
    messy.c_lflag |= ICANON | ECHO | ISIG;
    messy.c_oflag |= OPOST;
    messy.c_cflag |= PARENB | CSTOPB;
    ASSERT_EQ(tcsetattr(port.get(), TCSANOW, &messy), 0);

    ASSERT_EQ(set_Parity(port.get(), 8, 1, 'n'), 0);
    const termios t = attrs();
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    for (tcflag_t flag : {CREAD, CLOCAL, HUPCL})
        EXPECT_NE(t.c_cflag & flag, 0U) << std::hex << flag;
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0U);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG), 0U);
    EXPECT_EQ(t.c_oflag & OPOST, 0U);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST(SerialPortFlags, EveryParityCharacterSetsItsFlags)
{
    // Checked on the attribute record: a pseudo-terminal does not keep parity, size or
    // stop-bit settings, a real serial port does.
    termios t{};
    t.c_iflag = ICRNL | IXON;
    t.c_cflag = CS5 | PARODD;
    ASSERT_EQ(lep3::link::set_parity_flags(t, 8, 1, 'n'), 0);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR));
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));

    ASSERT_EQ(lep3::link::set_parity_flags(t, 8, 1, 'N'), 0);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR | INPCK)) << "upper-case N adds INPCK";

    ASSERT_EQ(lep3::link::set_parity_flags(t, 7, 2, 'o'), 0);
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CSTOPB), static_cast<tcflag_t>(PARENB | PARODD | CSTOPB));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
    EXPECT_NE(t.c_iflag & INPCK, 0U);

    ASSERT_EQ(lep3::link::set_parity_flags(t, 8, 1, 'E'), 0);
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CSTOPB), static_cast<tcflag_t>(PARENB));

    ASSERT_EQ(lep3::link::set_parity_flags(t, 8, 2, 's'), 0);
    EXPECT_EQ(t.c_cflag & PARENB, 0U);
    EXPECT_NE(t.c_cflag & CSTOPB, 0U) << "stop bits are applied after the space parity clears them";
    EXPECT_NE(t.c_iflag & INPCK, 0U);
    for (tcflag_t flag : {CREAD, CLOCAL, HUPCL})
        EXPECT_NE(t.c_cflag & flag, 0U) << std::hex << flag;
}

TEST_F(SerialPortTest, RefusedSettingsPrintAndLeaveThePortAlone)
{
    ASSERT_EQ(set_Parity(port.get(), 8, 1, 'n'), 0);
    const termios before = attrs();
    EXPECT_EQ(parity_stderr(9, 1, 'n', -1), "Unsupported data size\n");
    EXPECT_EQ(parity_stderr(7, 1, 'x', -1), "Unsupported parity\n");
    EXPECT_EQ(parity_stderr(7, 3, 'e', -1), "Unsupported stop bits\n");
    const termios after = attrs();
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
}

TEST_F(SerialPortTest, SpeedComesFromTheTable)
{
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(set_uart_speed(port.get(), 115200), 0);
    termios t = attrs();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(set_uart_speed(port.get(), 250000), -1);
    fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << "an unknown speed is refused silently";
    t = attrs();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
}

TEST(SerialPortFailures, MissingDeviceAndNonTerminalAreReported)
{
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(open_uart("/nonexistent/ttyACM9"), -1);
    fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "open /nonexistent/ttyACM9 failure\n");

    Fd null(open("/dev/null", O_RDWR));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(set_Parity(null.get(), 8, 1, 'n'), -1);
    EXPECT_EQ(set_uart_speed(null.get(), 115200), -1);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("SetupSerial 1: ", 0), 0U) << err;
    EXPECT_NE(err.find("tcsetattr fd1: "), std::string::npos) << err;

    close_uart(-1); // ignored
    EXPECT_GE(fcntl(null.get(), F_GETFD), 0) << "close_uart(-1) closed something";
}

} // namespace
