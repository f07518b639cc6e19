// Commands in the classic calling order after LEP3_Destroy, or before any LEP3_Init: the
// port's old number may belong to a file of the host's by then, and no request may land
// in it. Each command fails at once as a write to a closed port does.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "link/helpers.h"

namespace {

using lep3::test::Pty;
using lep3::test::stdout_of;

TEST(ReleasedPortTest, CommandsWithoutAPortWriteNothingIntoTheHostsFileAndFailAtOnce)
{
    const std::string refused = "LEP3_RunCommand: send command error:-1!\n"
                                "LEP3_GetCommand: send command error:-1!\n"
                                "LEP3_SetCommand: send command error:-1!\n";
    auto run_commands = [] {
        command_read_t reply{};
        const uint32_t value = 1;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(LEP3_RunCommand(0x0202, &reply), -1);
        EXPECT_EQ(LEP3_GetCommand(0x0214, 1, &reply), -1);
        EXPECT_EQ(LEP3_SetCommand(0x0100, &value, sizeof value, &reply), -1);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    };

    // Never initialised: uart_fd is 0, the host's standard input.
    EXPECT_EQ(stdout_of(run_commands), refused);

    Pty pty;
    ASSERT_EQ(LEP3_SetPath(LEP3_PATH_UART, pty.slave_path.c_str()), 0);
    stdout_of([] { ASSERT_EQ(LEP3_Init(), 0); });
    const int port = uart_fd;
    LEP3_Destroy();
    char name[] = "/tmp/lep3-hostfile-XXXXXX";
    const int opened = mkstemp(name);
    ASSERT_EQ(dup2(opened, port), port); // the host's file with the freed number
    close(opened);
    EXPECT_EQ(stdout_of(run_commands), refused);
    EXPECT_EQ(lseek(port, 0, SEEK_END), 0) << "a request was written into the host's file";
    close(port);
    unlink(name);
}

} // namespace
