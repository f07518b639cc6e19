// Polled and composite commands: how many status polls and pauses a flat-field correction
// takes, what ends its wait and its messages; frame averaging sets, then runs.
#include <gtest/gtest.h>

#include <algorithm>

#include "lep3.h"
#include "virtual_bridge.h"

using namespace lep3::test;

TEST(PolledRun, WaitsWhileBusyForAtMostSixPollsEachFollowedByAPause)
{
    struct Polled {
        int (*run)();
        uint16_t run_id;
        uint16_t status_id;
        std::string poll_error;
        std::string timeout;
    };
    const Polled polled[] = {
        {LEP3_RunSysFFCNormalization, 0x0242, 0x0244, "LEP3_GetSysFFCStatus: reply error:-2\n",
         "LEP_RunSysFFCNormalization: reply timeout\n"},
        {LEP3_RunRadFFC, 0x4E2C, 0x4E30, "LEP3_GetRadRunStatus: reply error:-2\n", "LEP_RunRadFFC: reply timeout\n"}};
    struct Case {
        std::vector<int> states; // read at poll i, the last repeating; -9: no reply; empty: the run fails
        int result;
        size_t polls;
        size_t pauses;
    };
    const Case cases[] = {{{0}, 0, 1, 1},  {{-1}, 0, 1, 1},        {{2}, 0, 1, 1}, {{1, 1, 1, 1, 1, 0}, 0, 6, 6},
                          {{1}, -2, 6, 6}, {{1, 1, -9}, -2, 3, 2}, {{}, -10, 0, 0}};
    for (const Polled &p : polled) {
        for (const Case &c : cases) {
            SCOPED_TRACE(testing::Message() << p.run_id << " after " << c.polls << " polls");
            VirtualBridge bridge;
            size_t poll = 0;
            bridge.answer = [&](const Request &r) {
                if (c.states.empty())
                    return status_answer(r, 7);
                if (r.id != p.status_id)
                    return bridge.serve(r);
                const int state = c.states[std::min(poll++, c.states.size() - 1)];
                bridge.regs[r.id] = {static_cast<uint8_t>(state), static_cast<uint8_t>(state >> 8),
                                     static_cast<uint8_t>(state >> 16), static_cast<uint8_t>(state >> 24)};
                return state == -9 ? Answer{} : bridge.serve(r);
            };
            int result = 1;
            const std::string out = stdout_of([&] { result = p.run(); });
            EXPECT_EQ(result, c.result);
            EXPECT_EQ(out, c.states.empty()     ? "LEP3_RunCommand: execute run command failed, reply:07\n"
                           : c.polls > c.pauses ? "LEP3_GetCommand: reply timeout\n" + p.poll_error
                           : c.result != 0      ? p.timeout
                                                : "");
            EXPECT_EQ(bridge.requests.at(0).id, p.run_id);
            EXPECT_EQ(bridge.requests.at(0).type, kRun);
            EXPECT_EQ(bridge.requests.size(), 1 + c.polls);
            EXPECT_EQ(static_cast<size_t>(std::count(bridge.sleeps.begin(), bridge.sleeps.end(), 100000)), c.pauses);
            if (c.polls > 0) {
                EXPECT_EQ(bridge.requests.back().id, p.status_id);
                EXPECT_EQ(bridge.requests.back().args, Bytes{2});
            }
        }
    }
}

TEST(AverageFrames, SetsTheCountThenRunsButNotAfterAFailedSet)
{
    VirtualBridge bridge;
    ASSERT_EQ(LEP_RunSysAverageFrames(5), 0);
    ASSERT_EQ(bridge.requests.size(), 2u);
    EXPECT_EQ(bridge.requests[0].id, 0x0224);
    EXPECT_EQ(bridge.requests[0].args, (Bytes{5, 0, 0, 0}));
    EXPECT_EQ(bridge.requests[1].id, 0x0220);
    EXPECT_EQ(bridge.requests[1].type, kRun);

    bridge.answer = [](const Request &r) { return status_answer(r, 1); };
    int result = 0;
    stdout_of([&] { result = LEP_RunSysAverageFrames(7); });
    EXPECT_EQ(result, -10);
    EXPECT_EQ(bridge.requests.size(), 3u);
}
