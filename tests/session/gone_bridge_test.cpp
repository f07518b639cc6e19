// A bridge that goes away under a session: commands write nothing into a descriptor the
// library no longer holds, and both commands and frame waits say "gone" at once, also
// when they were waiting at the moment of the pull.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>

#include "session/session_fixture.h"

namespace lep3::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous against a loaded machine; without the fix these take 7 s or the whole time-out.
constexpr auto kAtOnce = 500ms;

struct Command {
    const char *name;
    std::function<int()> run;
};
const Command kCommands[] = {
    {"run", [] { return LEP3_RunSysPing(); }},
    {"get",
     [] {
         float c = 0;
         return LEP3_GetSysFpaTemperatureCelcius(&c);
     }},
    {"set", [] { return LEP3_SetAgcEnableState(1); }},
};

// A file of the host's that has taken the port's old descriptor number.
struct HostFile {
    explicit HostFile(int number)
    {
        const int opened = mkstemp(name);
        fd = dup2(opened, number);
        close(opened);
    }
    ~HostFile()
    {
        close(fd);
        unlink(name);
    }
    off_t size() const { return lseek(fd, 0, SEEK_END); }
    char name[32] = "/tmp/lep3-hostfile-XXXXXX";
    int fd = -1;
};

// Each command ends at once with `expected` and writes nothing into the host's file.
void expect_refused(const HostFile &file, int expected)
{
    for (const Command &c : kCommands) {
        const auto start = Clock::now();
        EXPECT_EQ(c.run(), expected) << c.name;
        EXPECT_LT(Clock::now() - start, kAtOnce) << c.name;
    }
    EXPECT_EQ(file.size(), 0) << "a request was written into the host's file";
}

TEST_F(SessionTest, CommandsAfterAnUnplugWriteNothingIntoTheHostsFile)
{
    ASSERT_EQ(LEP3_Open(path().c_str()), 0);
    const int port = uart_fd;
    unplug();
    ASSERT_TRUE(eventually([] { return LEP3_GetLinkState() == LEP3_LINK_GONE; }));
    ASSERT_LT(fcntl(port, F_GETFD), 0) << "the port is still open";
    HostFile file(port);
    ASSERT_EQ(file.fd, port);
    expect_refused(file, -6);
    LEP3_Close();
    expect_refused(file, -1); // no session: as for any closed port
}

TEST_F(SessionTest, ACommandOrFrameWaitInFlightAtThePullEndsWithGoneAtOnce)
{
    ASSERT_EQ(LEP3_Open(path().c_str()), 0);
    auto faults = sim().faults();
    faults.silent = true; // no reply and no frame: both wait for as long as they may
    sim().set_faults(faults);
    auto command = std::async(std::launch::async, [] { return LEP3_RunSysPing(); });
    auto frame = std::async(std::launch::async, [] { return take_frame(5000).result; });
    ASSERT_TRUE(eventually([this] { return !sim().requests().empty(); }));
    unplug();
    const auto pulled = Clock::now();
    EXPECT_EQ(command.get(), -6);
    EXPECT_EQ(frame.get(), -6);
    EXPECT_LT(Clock::now() - pulled, kAtOnce);

    const auto waiting = Clock::now();
    EXPECT_EQ(take_frame(2000).result, -6) << "a wait begun while gone";
    EXPECT_LT(Clock::now() - waiting, kAtOnce);
}

} // namespace
} // namespace lep3::test
