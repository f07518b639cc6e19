// Command transactions against the in-thread bridge: the exact request packets, every
// result code with its message, when a reply is taken, and what a failure leaves alone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "link/link_internal.h"
#include "virtual_bridge.h"

using lep3::test::Answer;
using lep3::test::Request;
using lep3::test::VirtualBridge;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr useconds_t kPoll = 1000;
constexpr size_t kReplyPolls = 7000;

Bytes with_check(Bytes packet)
{
    packet.push_back(packet_crc8(packet.data(), packet.size()));
    return packet;
}

std::string flushed_stdout()
{
    (void)std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

command_read_t filled_record()
{
    command_read_t record;
    std::memset(&record, 0x5A, sizeof record);
    return record;
}

bool same_record(const command_read_t &a, const command_read_t &b)
{
    return a.command_id == b.command_id && a.type == b.type && a.state == b.state && a.data_len == b.data_len &&
           std::memcmp(a.data, b.data, sizeof a.data) == 0;
}

} // namespace

TEST(TransactionRequest, RunAndGetPacketsAreByteExact)
{
    VirtualBridge bridge;
    command_read_t reply;
    ASSERT_EQ(LEP3_RunCommand(0x0200, &reply), 0);
    ASSERT_EQ(LEP3_GetCommand(0x0238, 2, &reply), 0);
    ASSERT_EQ(bridge.requests.size(), 2u);
    EXPECT_EQ(bridge.requests[0].bytes, (Bytes{0xAA, 0x55, 0x03, 0x02, 0x00, 0x02, 0xAF}));
    EXPECT_EQ(bridge.requests[1].bytes, (Bytes{0xAA, 0x55, 0x04, 0x02, 0x38, 0x00, 0x02, 0x69}));
}

TEST(TransactionRequest, SetPacketCarriesPayloadInMemoryOrderForEverySize)
{
    VirtualBridge bridge;
    for (uint32_t size : {2u, 4u, 8u, 16u, 32u}) {
        Bytes payload(size);
        for (uint32_t i = 0; i < size; ++i)
            payload[i] = static_cast<uint8_t>(0xC0 + i);
        bridge.requests.clear();
        ASSERT_EQ(LEP3_SetCommand(0x4E04, payload.data(), size, nullptr), 0) << size;
        Bytes expected{0xAA, 0x55, static_cast<uint8_t>(3 + size), 0x4E, 0x04, 0x01};
        expected.insert(expected.end(), payload.begin(), payload.end());
        ASSERT_EQ(bridge.requests.size(), 1u);
        EXPECT_EQ(bridge.requests[0].bytes, with_check(expected)) << size;
        EXPECT_EQ(bridge.requests[0].bytes.size(), 7 + size);
    }
}

TEST(TransactionRequest, PayloadAboveThirtyTwoBytesIsRefusedUnsent)
{
    VirtualBridge bridge;
    const Bytes payload(33, 0x11);
    EXPECT_EQ(LEP3_SetCommand(0x023C, payload.data(), 33, nullptr), -3);
    EXPECT_TRUE(bridge.requests.empty());
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
    command_read_t reply;
    ASSERT_EQ(LEP3_GetCommand(0x0214, 1, &reply), 0);
    EXPECT_EQ(seen.command_id, 0x0214);
    EXPECT_EQ(seen.type, 0);
    EXPECT_EQ(seen.state, 1);
}

TEST(TransactionWait, ReplyAlreadyPostedIsTakenWithoutSleeping)
{
    VirtualBridge bridge;
    bridge.regs[0x020C] = {1, 2, 3, 4};
    command_read_t reply;
    ASSERT_EQ(LEP3_GetCommand(0x020C, 2, &reply), 0);
    EXPECT_TRUE(bridge.sleeps.empty());
    EXPECT_EQ(reply.data_len, 4);
    EXPECT_EQ(reply.state, 2);
    EXPECT_EQ(Bytes(reply.data, reply.data + 4), (Bytes{1, 2, 3, 4}));
}

TEST(TransactionWait, LateReplyIsTakenAtTheNextPoll)
{
    VirtualBridge bridge;
    bridge.answer = [&](const Request &request) {
        Answer answer = bridge.serve(request);
        answer.after_sleeps = 250;
        return answer;
    };
    command_read_t reply;
    ASSERT_EQ(LEP3_RunCommand(0x0200, &reply), 0);
    EXPECT_EQ(bridge.sleeps, std::vector<useconds_t>(250, kPoll));
}

TEST(TransactionWait, ReplyInTheLastPollIsStillTaken)
{
    VirtualBridge bridge;
    bridge.answer = [&](const Request &request) {
        Answer answer = bridge.serve(request);
        answer.after_sleeps = kReplyPolls;
        return answer;
    };
    EXPECT_EQ(LEP3_RunCommand(0x0200, nullptr), 0);
    EXPECT_EQ(bridge.sleeps.size(), kReplyPolls);
}

TEST(TransactionResult, SilentBridgeTimesOutAfterSevenThousandPollsWithOneMessage)
{
    VirtualBridge bridge;
    bridge.answer = [](const Request &) { return Answer{}; };
    command_read_t reply = filled_record();
    const command_read_t before = reply;
    testing::internal::CaptureStdout();
    EXPECT_EQ(LEP3_GetCommand(0x0204, 4, &reply), -2);
    EXPECT_EQ(LEP3_RunCommand(0x0200, &reply), -2);
    EXPECT_EQ(LEP3_SetCommand(0x0218, "\1\0\0\0", 4, &reply), -2);
    EXPECT_EQ(flushed_stdout(), "LEP3_GetCommand: reply timeout\n"
                                "LEP3_RunCommand: reply timeout\n"
                                "LEP3_SetCommand: reply timeout\n");
    EXPECT_EQ(bridge.sleeps, std::vector<useconds_t>(3 * kReplyPolls, kPoll));
    EXPECT_TRUE(same_record(reply, before));
}

TEST(TransactionResult, ReplyForAnotherCommandIsMinusNineWithTheIdInDecimal)
{
    VirtualBridge bridge;
    bridge.answer = [](const Request &request) {
        return Answer{lep3::test::reply_packet(static_cast<uint16_t>(request.id + 1), request.type, Bytes{0})};
    };
    command_read_t reply = filled_record();
    const command_read_t before = reply;
    testing::internal::CaptureStdout();
    EXPECT_EQ(LEP3_RunCommand(0x0200, &reply), -9);
    EXPECT_EQ(LEP3_GetCommand(0x0214, 1, &reply), -9);
    EXPECT_EQ(LEP3_SetCommand(0x0218, "\1\0\0\0", 4, &reply), -9);
    EXPECT_EQ(flushed_stdout(), "LEP3_RunCommand: reply commandID error:513\n"
                                "LEP3_GetCommand: reply commandID error:533\n"
                                "LEP3_SetCommand: reply commandID error:537\n");
    EXPECT_TRUE(same_record(reply, before));
}

TEST(TransactionResult, NonZeroStatusByteIsMinusTenForEveryKind)
{
    VirtualBridge bridge;
    bridge.answer = [](const Request &request) {
        return Answer{lep3::test::reply_packet(request.id, request.type, Bytes{0x05})};
    };
    command_read_t reply = filled_record();
    const command_read_t before = reply;
    testing::internal::CaptureStdout();
    EXPECT_EQ(LEP3_RunCommand(0x0200, &reply), -10);
    EXPECT_EQ(LEP3_GetCommand(0x0214, 1, &reply), -10);
    EXPECT_EQ(LEP3_SetCommand(0x0218, "\1\0\0\0", 4, &reply), -10);
    EXPECT_EQ(flushed_stdout(), "LEP3_RunCommand: execute run command failed, reply:05\n"
                                "LEP3_GetCommand: execute get command failed, reply:05\n"
                                "LEP3_SetCommand: execute set command failed, reply:05\n");
    EXPECT_TRUE(same_record(reply, before));
}

TEST(TransactionResult, LongerReplyIsNotReadAsAStatus)
{
    VirtualBridge bridge;
    bridge.regs[0x0214] = {0x05, 0x00};
    command_read_t reply;
    EXPECT_EQ(LEP3_GetCommand(0x0214, 1, &reply), 0);
    EXPECT_EQ(reply.data[0], 0x05);
}

TEST(TransactionResult, WriteToAClosedDescriptorIsMinusOne)
{
    const int saved = uart_fd;
    uart_fd = -1;
    command_read_t reply = filled_record();
    const command_read_t before = reply;
    testing::internal::CaptureStdout();
    EXPECT_EQ(LEP3_RunCommand(0x0200, &reply), -1);
    EXPECT_EQ(LEP3_GetCommand(0x0200, 1, &reply), -1);
    EXPECT_EQ(LEP3_SetCommand(0x0218, "\1\0\0\0", 4, &reply), -1);
    EXPECT_EQ(flushed_stdout(), "LEP3_RunCommand: send command error:-1!\n"
                                "LEP3_GetCommand: send command error:-1!\n"
                                "LEP3_SetCommand: send command error:-1!\n");
    EXPECT_TRUE(same_record(reply, before));
    uart_fd = saved;
}

TEST(TransactionResult, ShortWriteIsMinusOneWithTheCountWritten)
{
    // A regular file that may not grow past a limit takes only the bytes below it.
    constexpr off_t kLimit = 1 << 20;
    char path[] = "/tmp/lep3-short-write-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    ASSERT_EQ(lseek(fd, kLimit - 3, SEEK_SET), kLimit - 3);
    (void)std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved_limit{};
    getrlimit(RLIMIT_FSIZE, &saved_limit);
    rlimit limit = saved_limit;
    limit.rlim_cur = kLimit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);

    const int saved = uart_fd;
    uart_fd = fd;
    testing::internal::CaptureStdout();
    const int result = LEP3_GetCommand(0x0204, 4, nullptr);
    setrlimit(RLIMIT_FSIZE, &saved_limit);
    uart_fd = saved;
    close(fd);
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
            return Answer{lep3::test::reply_packet(0x0201, request.type, Bytes{0})};
        case 2:
            return Answer{lep3::test::reply_packet(request.id, request.type, Bytes{1})};
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
