// Polled and composite commands: how many status polls and pauses a flat-field correction
// takes, what ends its wait and its messages; frame averaging sets, then runs.
#include <gtest/gtest.h>

#include <algorithm>

#include "lep3.h"
#include "virtual_bridge.h"

using namespace lep3::test;

// A case: the state read at each poll, the last repeating (-9: no reply; none: the run
// itself fails), the result, the polls and the pauses.
TEST(PolledRun, WaitsWhileBusyForAtMostSixPollsEachFollowedByAPause)
{
    const std::tuple<int (*)(), uint16_t, uint16_t, std::string, std::string> polled[] = {
        {LEP3_RunSysFFCNormalization, 0x0242, 0x0244, "LEP3_GetSysFFCStatus", "LEP_RunSysFFCNormalization"},
        {LEP3_RunRadFFC, 0x4E2C, 0x4E30, "LEP3_GetRadRunStatus", "LEP_RunRadFFC"}};
    const std::tuple<std::vector<int>, int, size_t, size_t> cases[] = {
        {{0}, 0, 1, 1},  {{-1}, 0, 1, 1},        {{2}, 0, 1, 1}, {{1, 1, 1, 1, 1, 0}, 0, 6, 6},
        {{1}, -2, 6, 6}, {{1, 1, -9}, -2, 3, 2}, {{}, -10, 0, 0}};
    for (const auto &[run, run_id, status_id, poll_name, run_name] : polled)
        for (const auto &[states, code, polls, pauses] : cases) {
            SCOPED_TRACE(testing::Message() << run_id << " after " << polls << " polls");
            VirtualBridge bridge;
            size_t poll = 0;
            bridge.answer = [&](const Request &r) {
                if (states.empty())
                    return status_answer(r, 7);
                if (r.id != status_id)
                    return bridge.serve(r);
                const int state = states[std::min(poll++, states.size() - 1)];
                const auto u = static_cast<uint32_t>(state);
                bridge.regs[r.id] = {uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16), uint8_t(u >> 24)};
                return state == -9 ? Answer{} : bridge.serve(r);
            };
            int result = 1;
            const std::string out = stdout_of([&, run = run] { result = run(); });
            EXPECT_EQ(result, code);
            EXPECT_EQ(out, states.empty()  ? "LEP3_RunCommand: execute run command failed, reply:07\n"
                           : polls > pauses ? "LEP3_GetCommand: reply timeout\n" + poll_name + ": reply error:-2\n"
                           : code != 0      ? run_name + ": reply timeout\n"
                                            : "");
            EXPECT_EQ(std::make_tuple(bridge.requests.at(0).id, bridge.requests.at(0).type, bridge.requests.size()),
                      std::make_tuple(run_id, kRun, 1 + polls));
            EXPECT_EQ(static_cast<size_t>(std::count(bridge.sleeps.begin(), bridge.sleeps.end(), 100000)), pauses);
            EXPECT_TRUE(polls == 0 || (bridge.requests.back().id == status_id && bridge.requests.back().args == Bytes{2}));
        }
}

TEST(AverageFrames, SetsTheCountThenRunsButNotAfterAFailedSet)
{
    VirtualBridge bridge;
    ASSERT_EQ(LEP_RunSysAverageFrames(5), 0);
    ASSERT_EQ(bridge.requests.size(), 2u);
    EXPECT_EQ(std::make_tuple(bridge.requests[0].id, bridge.requests[0].args, bridge.requests[1].id,
                              bridge.requests[1].type),
              std::make_tuple(0x0224, Bytes{5, 0, 0, 0}, 0x0220, kRun));
    bridge.answer = [](const Request &r) { return status_answer(r, 1); };
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(LEP_RunSysAverageFrames(7), -10); }),
              "LEP3_SetCommand: execute set command failed, reply:01\n");
    EXPECT_EQ(bridge.requests.size(), 3u);
}
