// Every message of the library reaches an installed handler with its exact text and
// stream, and nothing reaches the console then; without a handler the console output is
// what it always was.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "lep3.h"

namespace {

using Messages = std::vector<std::pair<int, std::string>>;

void collect(int stream, const char *text, void *context)
{
    static_cast<Messages *>(context)->emplace_back(stream, text);
}

// A failed open prints on standard output; a failed read of the port settings on standard error.
void fail_some_calls()
{
    LEP3_SetPath(LEP3_PATH_UART, "/nonexistent/lep3-tty");
    (void)LEP3_Init();
    (void)set_Parity(-1, 9, 1, 'n');
}

struct Console {
    std::string out;
    std::string err;
};
template <class Call> Console captured(Call &&call)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    call();
    (void)std::fflush(stdout);
    Console c;
    c.out = testing::internal::GetCapturedStdout();
    c.err = testing::internal::GetCapturedStderr();
    return c;
}

const Messages kExpected = {
    {1, "open /nonexistent/lep3-tty failure\n"},
    {1, "Can't open uart port!\n"},
    {1, "Uart init failed!\n"},
    {2, "SetupSerial 1: Bad file descriptor\n"},
};

// The console's output, then a handler's, then none at all, then the console again.
TEST(MessageHandler, ReceivesTheExactTextsWhileTheConsoleStaysSilentAndTheConsoleComesBack)
{
    const Console console = captured(fail_some_calls);
    EXPECT_EQ(console.out, "open /nonexistent/lep3-tty failure\nCan't open uart port!\nUart init failed!\n");
    EXPECT_EQ(console.err, "SetupSerial 1: Bad file descriptor\n");

    Messages got;
    ASSERT_EQ(LEP3_SetMessageHandler(collect, &got), 0);
    const Console handled = captured(fail_some_calls);
    EXPECT_EQ(got, kExpected);
    EXPECT_EQ(handled.out + handled.err, "");

    ASSERT_EQ(LEP3_SetMessageHandler(nullptr, nullptr), 0);
    const Console silent = captured(fail_some_calls);
    EXPECT_EQ(silent.out + silent.err, "");

    ASSERT_EQ(LEP3_SetMessageHandler(LEP3_ConsoleMessages, nullptr), 0);
    const Console again = captured(fail_some_calls);
    EXPECT_EQ(again.out, console.out);
    EXPECT_EQ(again.err, console.err);
    EXPECT_EQ(got.size(), kExpected.size()) << "the handler was called after it was replaced";
}

} // namespace
