// Command transactions against the in-thread bridge: the exact request packets, every
// result code with its message, when a reply is taken, and what a failure leaves alone.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "link/link_internal.h"
#include "virtual_bridge.h"

using namespace lep3::test;

namespace {

constexpr useconds_t kPoll = 1000;
constexpr int kReplyPolls = 7000;
const uint8_t kOne[4] = {1, 0, 0, 0};

std::string flushed_stdout()
{
    (void)std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// Runs one transaction of each kind into a filled reply buffer; returns the results and
// checks that the buffer was left as it was.
std::vector<int> each_kind_fails_untouched()
{
    command_read_t reply;
    std::memset(&reply, 0x5A, sizeof reply);
    std::vector<int> results{LEP3_RunCommand(0x0200, &reply), LEP3_GetCommand(0x0214, 1, &reply),
                             LEP3_SetCommand(0x0218, kOne, sizeof kOne, &reply)};
    for (size_t i = 0; i < sizeof reply.data; ++i)
        EXPECT_EQ(reply.data[i], 0x5A);
    EXPECT_EQ(reply.command_id, 0x5A5A);
    EXPECT_EQ(reply.data_len, 0x5A5A5A5A);
    return results;
}

} // namespace

TEST(TransactionRequest, PacketsAreByteExactForEveryShapeAndPayloadSize)
{
    VirtualBridge bridge;
    ASSERT_EQ(LEP3_RunCommand(0x0200, nullptr), 0);
    ASSERT_EQ(LEP3_GetCommand(0x0238, 2, nullptr), 0);
    EXPECT_EQ(bridge.requests[0].bytes, (Bytes{0xAA, 0x55, 0x03, 0x02, 0x00, 0x02, 0xAF}));
    EXPECT_EQ(bridge.requests[1].bytes, (Bytes{0xAA, 0x55, 0x04, 0x02, 0x38, 0x00, 0x02, 0x69}));
    for (uint8_t size : {2, 4, 8, 16, 32}) {
        Bytes expected{0xAA, 0x55, static_cast<uint8_t>(3 + size), 0x4E, 0x04, 0x01};
        for (uint8_t i = 0; i < size; ++i)
            expected.push_back(static_cast<uint8_t>(0xC0 + i));
        ASSERT_EQ(LEP3_SetCommand(0x4E04, expected.data() + 6, size, nullptr), 0);
        expected.push_back(packet_crc8(expected.data(), expected.size()));
        EXPECT_EQ(bridge.requests.back().bytes, expected) << int{size};
    }
    EXPECT_EQ(LEP3_SetCommand(0x023C, Bytes(33).data(), 33, nullptr), -3);
    EXPECT_EQ(bridge.requests.size(), 7u);
}

TEST(TransactionRequest, RecordIsPrimedBeforeTheRequestLeaves)
{
    VirtualBridge bridge;
    command_read_t seen{};
    bridge.answer = [&](const Request &request) {
        seen = command_read;
        seen.state = lep3::link::load_reply_state();
        return bridge.serve(request);
    };
    ASSERT_EQ(LEP3_GetCommand(0x0214, 1, nullptr), 0);
    EXPECT_EQ(seen.command_id, 0x0214);
    EXPECT_EQ(seen.type, 0);
    EXPECT_EQ(seen.state, 1);
}

TEST(TransactionWait, ReplyIsTakenAtTheFirstReadThatSeesIt)
{
    VirtualBridge bridge;
    bridge.regs[0x020C] = {1, 2, 3, 4};
    command_read_t reply;
    ASSERT_EQ(LEP3_GetCommand(0x020C, 2, &reply), 0);
    EXPECT_TRUE(bridge.sleeps.empty()); // already posted: no sleep at all
    EXPECT_EQ(reply.data_len, 4);
    EXPECT_EQ(Bytes(reply.data, reply.data + 4), (Bytes{1, 2, 3, 4}));

    for (int late : {250, kReplyPolls}) { // the last poll still counts
        bridge.sleeps.clear();
        bridge.answer = [&](const Request &request) { return Answer{bridge.serve(request).reply, late}; };
        EXPECT_EQ(LEP3_RunCommand(0x0200, nullptr), 0);
        EXPECT_EQ(bridge.sleeps, std::vector<useconds_t>(late, kPoll));
    }
}

TEST(TransactionResult, SilentBridgeTimesOutAfterSevenThousandPollsWithOneMessageEach)
{
    VirtualBridge bridge;
    bridge.answer = [](const Request &) { return Answer{}; };
    testing::internal::CaptureStdout();
    EXPECT_EQ(each_kind_fails_untouched(), (std::vector<int>{-2, -2, -2}));
    EXPECT_EQ(flushed_stdout(), "LEP3_RunCommand: reply timeout\n"
                                "LEP3_GetCommand: reply timeout\n"
                                "LEP3_SetCommand: reply timeout\n");
    EXPECT_EQ(bridge.sleeps, std::vector<useconds_t>(size_t{3} * kReplyPolls, kPoll));
}

TEST(TransactionResult, ReplyForAnotherCommandIsMinusNineWithTheIdInDecimalBeforeAnyStatusCheck)
{
    VirtualBridge bridge;
    bridge.answer = [](const Request &request) {
        return Answer{reply_packet(static_cast<uint16_t>(request.id + 1), request.type, {5})};
    };
    testing::internal::CaptureStdout();
    EXPECT_EQ(each_kind_fails_untouched(), (std::vector<int>{-9, -9, -9}));
    EXPECT_EQ(flushed_stdout(), "LEP3_RunCommand: reply commandID error:513\n"
                                "LEP3_GetCommand: reply commandID error:533\n"
                                "LEP3_SetCommand: reply commandID error:537\n");
}

TEST(TransactionResult, OneNonZeroDataByteIsMinusTenButALongerReplyIsData)
{
    VirtualBridge bridge;
    bridge.answer = [](const Request &request) { return status_answer(request, 0x05); };
    testing::internal::CaptureStdout();
    EXPECT_EQ(each_kind_fails_untouched(), (std::vector<int>{-10, -10, -10}));
    EXPECT_EQ(flushed_stdout(), "LEP3_RunCommand: execute run command failed, reply:05\n"
                                "LEP3_GetCommand: execute get command failed, reply:05\n"
                                "LEP3_SetCommand: execute set command failed, reply:05\n");
    bridge.answer = nullptr;
    bridge.regs[0x0214] = {0x05, 0x00};
    command_read_t reply;
    EXPECT_EQ(LEP3_GetCommand(0x0214, 1, &reply), 0);
    EXPECT_EQ(reply.data[0], 0x05);
}

TEST(TransactionResult, RequestNotWrittenWholeIsMinusOneWithTheWriteResult)
{
    const int saved = uart_fd;
    uart_fd = -1; // closed: write fails
    testing::internal::CaptureStdout();
    EXPECT_EQ(each_kind_fails_untouched(), (std::vector<int>{-1, -1, -1}));
    EXPECT_EQ(flushed_stdout(), "LEP3_RunCommand: send command error:-1!\n"
                                "LEP3_GetCommand: send command error:-1!\n"
                                "LEP3_SetCommand: send command error:-1!\n");

    // A file that may not grow past a limit takes only the bytes below it.
    constexpr off_t kLimit = 1 << 20;
    FILE *file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    uart_fd = fileno(file);
    ASSERT_EQ(lseek(uart_fd, kLimit - 3, SEEK_SET), kLimit - 3);
    (void)std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved_limit{};
    getrlimit(RLIMIT_FSIZE, &saved_limit);
    rlimit limit = saved_limit;
    limit.rlim_cur = kLimit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    testing::internal::CaptureStdout();
    const int result = LEP3_GetCommand(0x0204, 4, nullptr);
    setrlimit(RLIMIT_FSIZE, &saved_limit);
    uart_fd = saved;
    (void)std::fclose(file);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(flushed_stdout(), "LEP3_GetCommand: send command error:3!\n");
}

TEST(TransactionResult, NextTransactionWorksAfterEachFailure)
{
    VirtualBridge bridge;
    int calls = 0;
    bridge.answer = [&](const Request &request) {
        switch (calls++) {
        case 0:
            return Answer{};
        case 1:
            return Answer{reply_packet(0x0201, request.type, {0})};
        case 2:
            return status_answer(request, 1);
        default:
            return bridge.serve(request);
        }
    };
    testing::internal::CaptureStdout();
    EXPECT_EQ(LEP3_RunCommand(0x0200, nullptr), -2);
    EXPECT_EQ(LEP3_RunCommand(0x0200, nullptr), -9);
    EXPECT_EQ(LEP3_RunCommand(0x0200, nullptr), -10);
    EXPECT_EQ(LEP3_RunCommand(0x0200, nullptr), 0);
    flushed_stdout();
}
