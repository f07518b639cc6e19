// Polled and composite commands: how many status polls and pauses a flat-field
// correction takes, what ends the wait, the messages, and the two special setters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lep3.h"
#include "virtual_bridge.h"

using lep3::test::Answer;
using lep3::test::Request;
using lep3::test::VirtualBridge;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr useconds_t kPollPause = 100000;

struct PolledRun {
    const char *name;
    int (*run)();
    uint16_t run_id;
    uint16_t status_id;
    const char *poll_error; // with -2
    const char *timeout;
};

const PolledRun kPolledRuns[] = {
    {"sys FFC", LEP3_RunSysFFCNormalization, 0x0242, 0x0244, "LEP3_GetSysFFCStatus: reply error:-2\n",
     "LEP_RunSysFFCNormalization: reply timeout\n"},
    {"rad FFC", LEP3_RunRadFFC, 0x4E2C, 0x4E30, "LEP3_GetRadRunStatus: reply error:-2\n",
     "LEP_RunRadFFC: reply timeout\n"},
};

Bytes le32(int32_t v)
{
    const auto u = static_cast<uint32_t>(v);
    return {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
            static_cast<uint8_t>(u >> 24)};
}

// The status getter reads states[i] at its i-th poll (the last one repeats).
void script_status(VirtualBridge &bridge, const PolledRun &polled, const std::vector<int32_t> &states)
{
    auto poll = std::make_shared<size_t>(0);
    bridge.answer = [&bridge, &polled, states, poll](const Request &request) {
        if (request.id == polled.status_id) {
            const size_t i = std::min(*poll, states.size() - 1);
            ++*poll;
            bridge.regs[polled.status_id] = le32(states[i]);
        }
        return bridge.serve(request);
    };
}

std::string flushed_stdout()
{
    (void)std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

} // namespace

TEST(PolledRun, ReadyAtFirstPollEndsAfterOnePollAndOnePause)
{
    for (const PolledRun &polled : kPolledRuns) {
        VirtualBridge bridge;
        script_status(bridge, polled, {0});
        EXPECT_EQ(polled.run(), 0) << polled.name;
        ASSERT_EQ(bridge.requests.size(), 2u) << polled.name;
        EXPECT_EQ(bridge.requests[0].id, polled.run_id);
        EXPECT_EQ(bridge.requests[0].type, lep3::test::kRun);
        EXPECT_EQ(bridge.requests[1].id, polled.status_id);
        EXPECT_EQ(bridge.requests[1].args, Bytes{2});
        EXPECT_EQ(bridge.sleeps, std::vector<useconds_t>{kPollPause}) << polled.name;
    }
}

TEST(PolledRun, BusyOnFivePollsThenReadyOnTheSixthSucceeds)
{
    for (const PolledRun &polled : kPolledRuns) {
        VirtualBridge bridge;
        script_status(bridge, polled, {1, 1, 1, 1, 1, 0});
        EXPECT_EQ(polled.run(), 0) << polled.name;
        EXPECT_EQ(bridge.requests_for(polled.status_id).size(), 6u) << polled.name;
        EXPECT_EQ(bridge.sleeps, std::vector<useconds_t>(6, kPollPause)) << polled.name;
    }
}

TEST(PolledRun, BusyOnAllSixPollsTimesOutWithItsMessage)
{
    for (const PolledRun &polled : kPolledRuns) {
        VirtualBridge bridge;
        script_status(bridge, polled, {1});
        testing::internal::CaptureStdout();
        EXPECT_EQ(polled.run(), -2) << polled.name;
        EXPECT_EQ(flushed_stdout(), polled.timeout);
        EXPECT_EQ(bridge.requests_for(polled.status_id).size(), 6u) << polled.name;
        EXPECT_EQ(bridge.sleeps, std::vector<useconds_t>(6, kPollPause)) << polled.name;
    }
}

TEST(PolledRun, AnyStateButBusyEndsTheWaitWithSuccess)
{
    for (const PolledRun &polled : kPolledRuns) {
        for (int32_t state : {-1, 2, 0x7FFFFFFF}) {
            VirtualBridge bridge;
            script_status(bridge, polled, {1, state});
            EXPECT_EQ(polled.run(), 0) << polled.name << " state " << state;
            EXPECT_EQ(bridge.requests_for(polled.status_id).size(), 2u);
        }
    }
}

TEST(PolledRun, FailedPollAtTheThirdReportsItAfterTwoPauses)
{
    for (const PolledRun &polled : kPolledRuns) {
        VirtualBridge bridge;
        int polls = 0;
        bridge.answer = [&](const Request &request) {
            if (request.id == polled.status_id) {
                if (++polls == 3)
                    return Answer{}; // silent: the status getter times out
                bridge.regs[polled.status_id] = le32(1);
            }
            return bridge.serve(request);
        };
        testing::internal::CaptureStdout();
        EXPECT_EQ(polled.run(), -2) << polled.name;
        EXPECT_EQ(flushed_stdout(), std::string("LEP3_GetCommand: reply timeout\n") + polled.poll_error);
        EXPECT_EQ(bridge.sleeps_of(kPollPause), 2u) << polled.name;
        EXPECT_EQ(bridge.requests_for(polled.status_id).size(), 3u);
    }
}

TEST(PolledRun, FailedRunPollsNothing)
{
    for (const PolledRun &polled : kPolledRuns) {
        VirtualBridge bridge;
        bridge.answer = [](const Request &request) {
            return Answer{lep3::test::reply_packet(request.id, request.type, Bytes{0x07})};
        };
        testing::internal::CaptureStdout();
        EXPECT_EQ(polled.run(), -10) << polled.name;
        EXPECT_EQ(flushed_stdout(), "LEP3_RunCommand: execute run command failed, reply:07\n");
        EXPECT_EQ(bridge.requests.size(), 1u);
        EXPECT_TRUE(bridge.sleeps.empty());
    }
}

TEST(SpecialSetters, HeqSendsTheLowSixteenBitsInTwoBytes)
{
    VirtualBridge bridge;
    ASSERT_EQ(LEP3_SetAgcHeqLinearPercent(0x12345), 0);
    ASSERT_EQ(bridge.requests.size(), 1u);
    EXPECT_EQ(bridge.requests[0].id, 0x014C);
    EXPECT_EQ(bridge.requests[0].bytes.size(), 9u);
    EXPECT_EQ(bridge.requests[0].bytes[2], 5);
    EXPECT_EQ(bridge.requests[0].args, (Bytes{0x45, 0x23}));
}

TEST(SpecialSetters, ShutterModeObjectGoesOutWhole)
{
    VirtualBridge bridge;
    lep3_ffc_shutter_mode_t obj{};
    for (uint32_t i = 0; i < 8; ++i)
        obj.word[i] = 0x01010101u * (i + 1);
    ASSERT_EQ(LEP3_SetSysFfcShutterModeObj(obj), 0);
    ASSERT_EQ(bridge.requests.size(), 1u);
    EXPECT_EQ(bridge.requests[0].id, 0x023C);
    EXPECT_EQ(bridge.requests[0].bytes.size(), 39u);
    EXPECT_EQ(bridge.requests[0].bytes[2], 35);
    const auto *raw = reinterpret_cast<const uint8_t *>(&obj);
    EXPECT_EQ(bridge.requests[0].args, Bytes(raw, raw + sizeof obj));
}

TEST(AverageFrames, CountAboveSevenIsRefusedUnsent)
{
    VirtualBridge bridge;
    EXPECT_EQ(LEP_RunSysAverageFrames(8), -3);
    EXPECT_TRUE(bridge.requests.empty());
}

TEST(AverageFrames, SetsTheCountThenRunsAndStopsWhenTheSetFails)
{
    {
        VirtualBridge bridge;
        ASSERT_EQ(LEP_RunSysAverageFrames(5), 0);
        ASSERT_EQ(bridge.requests.size(), 2u);
        EXPECT_EQ(bridge.requests[0].id, 0x0224);
        EXPECT_EQ(bridge.requests[0].args, le32(5));
        EXPECT_EQ(bridge.requests[1].id, 0x0220);
        EXPECT_EQ(bridge.requests[1].type, lep3::test::kRun);
    }
    {
        VirtualBridge bridge;
        bridge.answer = [](const Request &request) {
            return Answer{lep3::test::reply_packet(request.id, request.type, Bytes{0x01})};
        };
        testing::internal::CaptureStdout();
        EXPECT_EQ(LEP_RunSysAverageFrames(7), -10);
        flushed_stdout();
        EXPECT_EQ(bridge.requests.size(), 1u);
    }
}
