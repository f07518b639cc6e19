// Polled and composite commands: how many status polls and pauses a flat-field
// correction takes, what ends its wait, its messages, and the two special setters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

#include "lep3.h"
#include "virtual_bridge.h"

using namespace lep3::test;

namespace {

constexpr useconds_t kPollPause = 100000;

struct PolledRun {
    int (*run)();
    uint16_t run_id;
    uint16_t status_id;
    std::string poll_error; // with -2
    std::string timeout;
};

const PolledRun kPolledRuns[] = {
    {LEP3_RunSysFFCNormalization, 0x0242, 0x0244, "LEP3_GetSysFFCStatus: reply error:-2\n",
     "LEP_RunSysFFCNormalization: reply timeout\n"},
    {LEP3_RunRadFFC, 0x4E2C, 0x4E30, "LEP3_GetRadRunStatus: reply error:-2\n", "LEP_RunRadFFC: reply timeout\n"},
};

// Runs the command against a status that reads states[i] at poll i (the last one
// repeats; a missing state leaves the poll unanswered). Returns the result and the output.
std::pair<int, std::string> run_with(VirtualBridge &bridge, const PolledRun &p,
                                     std::vector<std::optional<int32_t>> states)
{
    size_t poll = 0;
    bridge.answer = [&](const Request &r) {
        if (r.id != p.status_id)
            return bridge.serve(r);
        const auto state = states[std::min(poll++, states.size() - 1)];
        if (!state)
            return Answer{};
        const auto u = static_cast<uint32_t>(*state);
        bridge.regs[r.id] = {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
                             static_cast<uint8_t>(u >> 24)};
        return bridge.serve(r);
    };
    testing::internal::CaptureStdout();
    const int result = p.run();
    (void)std::fflush(stdout);
    return {result, testing::internal::GetCapturedStdout()};
}

} // namespace

TEST(PolledRun, AnyStateButBusyEndsTheWaitWithSuccessAfterItsPause)
{
    for (const PolledRun &p : kPolledRuns) {
        for (int32_t ready : {0, -1, 2}) {
            VirtualBridge bridge;
            EXPECT_EQ(run_with(bridge, p, {ready}), std::make_pair(0, std::string()));
            ASSERT_EQ(bridge.requests.size(), 2u);
            EXPECT_EQ(bridge.requests[0].id, p.run_id);
            EXPECT_EQ(bridge.requests[0].type, kRun);
            EXPECT_EQ(bridge.requests[1].id, p.status_id);
            EXPECT_EQ(bridge.requests[1].args, Bytes{2});
            EXPECT_EQ(bridge.sleeps, std::vector<useconds_t>{kPollPause});
        }
        VirtualBridge bridge;
        EXPECT_EQ(run_with(bridge, p, {1, 1, 1, 1, 1, 0}).first, 0);
        EXPECT_EQ(bridge.sleeps, std::vector<useconds_t>(6, kPollPause));
    }
}

TEST(PolledRun, BusyOnAllSixPollsTimesOutWithItsMessage)
{
    for (const PolledRun &p : kPolledRuns) {
        VirtualBridge bridge;
        EXPECT_EQ(run_with(bridge, p, {1}), std::make_pair(-2, p.timeout));
        EXPECT_EQ(bridge.requests_for(p.status_id).size(), 6u);
        EXPECT_EQ(bridge.sleeps, std::vector<useconds_t>(6, kPollPause));
    }
}

TEST(PolledRun, FailedPollAtTheThirdIsReportedAfterTwoPauses)
{
    for (const PolledRun &p : kPolledRuns) {
        VirtualBridge bridge;
        EXPECT_EQ(run_with(bridge, p, {1, 1, std::nullopt}),
                  std::make_pair(-2, "LEP3_GetCommand: reply timeout\n" + p.poll_error));
        EXPECT_EQ(std::count(bridge.sleeps.begin(), bridge.sleeps.end(), kPollPause), 2);
        EXPECT_EQ(bridge.requests_for(p.status_id).size(), 3u);
    }
}

TEST(PolledRun, FailedRunPollsNothing)
{
    for (const PolledRun &p : kPolledRuns) {
        VirtualBridge bridge;
        bridge.answer = [](const Request &r) { return status_answer(r, 7); };
        testing::internal::CaptureStdout();
        EXPECT_EQ(p.run(), -10);
        (void)std::fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "LEP3_RunCommand: execute run command failed, reply:07\n");
        EXPECT_EQ(bridge.requests.size(), 1u);
        EXPECT_TRUE(bridge.sleeps.empty());
    }
}

TEST(SpecialSetters, HeqSendsTwoBytesAndTheShutterModeObjectThirtyTwo)
{
    VirtualBridge bridge;
    ASSERT_EQ(LEP3_SetAgcHeqLinearPercent(0x12345), 0);
    EXPECT_EQ(bridge.requests[0].id, 0x014C);
    EXPECT_EQ(bridge.requests[0].bytes.size(), 9u);
    EXPECT_EQ(bridge.requests[0].args, (Bytes{0x45, 0x23}));

    lep3_ffc_shutter_mode_t obj{};
    for (uint32_t i = 0; i < 8; ++i)
        obj.word[i] = 0x01010101u * (i + 1);
    ASSERT_EQ(LEP3_SetSysFfcShutterModeObj(obj), 0);
    EXPECT_EQ(bridge.requests[1].id, 0x023C);
    EXPECT_EQ(bridge.requests[1].bytes.size(), 39u);
    const auto *raw = reinterpret_cast<const uint8_t *>(&obj);
    EXPECT_EQ(bridge.requests[1].args, Bytes(raw, raw + sizeof obj));
}

TEST(AverageFrames, SetsTheCountThenRunsButNotAfterAFailedSet)
{
    VirtualBridge bridge;
    EXPECT_EQ(LEP_RunSysAverageFrames(8), -3);
    EXPECT_TRUE(bridge.requests.empty());
    ASSERT_EQ(LEP_RunSysAverageFrames(5), 0);
    ASSERT_EQ(bridge.requests.size(), 2u);
    EXPECT_EQ(bridge.requests[0].id, 0x0224);
    EXPECT_EQ(bridge.requests[0].args, (Bytes{5, 0, 0, 0}));
    EXPECT_EQ(bridge.requests[1].id, 0x0220);
    EXPECT_EQ(bridge.requests[1].type, kRun);

    bridge.answer = [](const Request &r) { return status_answer(r, 1); };
    testing::internal::CaptureStdout();
    EXPECT_EQ(LEP_RunSysAverageFrames(7), -10);
    (void)std::fflush(stdout);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(bridge.requests.size(), 3u);
}
