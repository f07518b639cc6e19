// Command transactions against the in-thread bridge: exact request packets, every result
// code with its message, when a reply is taken, and what a failure leaves alone.
#include <cstring>

#include "virtual_bridge.h"

using namespace lep3::test;

static constexpr size_t kReplyPolls = 7000; // of 1 ms each

// A run, a get and a set written exactly; a set of 32 bytes goes out, one of 33 does not.
TEST(TransactionRequest, PacketsAreByteExactForEveryShape)
{
    VirtualBridge bridge;
    ASSERT_EQ(LEP3_RunCommand(0x0200, nullptr), 0);
    ASSERT_EQ(LEP3_GetCommand(0x0238, 2, nullptr), 0);
    EXPECT_EQ(bridge.requests[0].bytes, (Bytes{0xAA, 0x55, 0x03, 0x02, 0x00, 0x02, 0xAF}));
    EXPECT_EQ(bridge.requests[1].bytes, (Bytes{0xAA, 0x55, 0x04, 0x02, 0x38, 0x00, 0x02, 0x69}));
    const Bytes full(32, 0xC5); // every packet the bridge gets is checked for its framing
    ASSERT_EQ(LEP3_SetCommand(0x4E04, full.data(), 2, nullptr) + LEP3_SetCommand(0x4E04, full.data(), 32, nullptr), 0);
    EXPECT_EQ(bridge.requests[2].bytes, (Bytes{0xAA, 0x55, 0x05, 0x4E, 0x04, 0x01, 0xC5, 0xC5, 0xD8}));
    EXPECT_EQ(LEP3_SetCommand(0x023C, Bytes(33).data(), 33, nullptr), -3);
    EXPECT_EQ(bridge.requests.size(), 4u);
}

// Each failure, for each kind of transaction: its code, its message, the reply buffer
// untouched, and the next transaction working, its reply taken when it comes during the
// last poll's pause and nothing sooner. A reply for another command is -9 before its
// status byte is looked at. A request not written whole is -1 at once, without a wait.
// Only the time-outs are counted as such.
TEST(TransactionResult, EachFailureHasItsCodeAndMessageAndLeavesTheReplyAlone)
{
    const std::pair<int, std::string> cases[] = {
        {-1, "LEP3_RunCommand: send command error:6!\nLEP3_GetCommand: send command error:7!\n"
             "LEP3_SetCommand: send command error:10!\n"},
        {-2, "LEP3_RunCommand: reply timeout\nLEP3_GetCommand: reply timeout\nLEP3_SetCommand: reply timeout\n"},
        {-9, "LEP3_RunCommand: reply commandID error:513\nLEP3_GetCommand: reply commandID error:533\n"
             "LEP3_SetCommand: reply commandID error:537\n"},
        {-10, "LEP3_RunCommand: execute run command failed, reply:05\n"
              "LEP3_GetCommand: execute get command failed, reply:05\n"
              "LEP3_SetCommand: execute set command failed, reply:05\n"},
    };
    const uint8_t one[4] = {1, 0, 0, 0};
    for (const auto &[code, out] : cases) {
        SCOPED_TRACE(code);
        VirtualBridge bridge;
        bridge.short_write = code == -1;
        bridge.answer = [code](const Request &r) {
            return code == -2   ? Answer{}
                   : code == -9 ? Answer{reply_packet(static_cast<uint16_t>(r.id + 1), r.type, {5})}
                                : status_answer(r, 5);
        };
        uint64_t timeouts_before = 0;
        LEP3_GetCommandTimeouts(&timeouts_before);
        command_read_t reply;
        std::memset(&reply, 0x5A, sizeof reply);
        EXPECT_EQ(stdout_of([&, code = code] {
                      EXPECT_EQ(LEP3_RunCommand(0x0200, &reply), code);
                      EXPECT_EQ(LEP3_GetCommand(0x0214, 1, &reply), code);
                      EXPECT_EQ(LEP3_SetCommand(0x0218, one, sizeof one, &reply), code);
                  }),
                  out);
        EXPECT_EQ(bridge.sleeps.size(), code == -2 ? 3 * kReplyPolls : 0);
        uint64_t timeouts = 0;
        EXPECT_EQ(LEP3_GetCommandTimeouts(&timeouts), 0);
        EXPECT_EQ(timeouts - timeouts_before, code == -2 ? 3u : 0u);
        EXPECT_EQ(bytes_of(reply), Bytes(sizeof reply, 0x5A));
        bridge.sleeps.clear();
        bridge.short_write = false;
        bridge.answer = [&](const Request &r) { return Answer{status_answer(r, 0).reply, int{kReplyPolls}}; };
        EXPECT_EQ(LEP3_RunCommand(0x0200, nullptr), 0);
        EXPECT_EQ(bridge.sleeps, std::vector<useconds_t>(kReplyPolls, 1000));
    }
}
