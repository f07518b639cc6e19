// The start-up sequence: the order of its steps, each step's retries and pauses, the
// early stop at a step that fails for good, and what it writes into the FFC object.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "lep3.h"
#include "virtual_bridge.h"

using namespace lep3::test;

namespace {

constexpr uint16_t kStatus = 0x0204;
constexpr uint16_t kRadEnable = 0x4E10;
constexpr uint16_t kShutterMode = 0x023C;
constexpr useconds_t kReadyPause = 500000;
constexpr useconds_t kStepPause = 10000;

using Step = std::pair<uint16_t, uint8_t>; // command ID, request type
const Step kReadStatus{kStatus, kGet}, kSetRad{kRadEnable, kSet}, kReadObj{kShutterMode, kGet},
    kWriteObj{kShutterMode, kSet};

struct Outcome {
    int result;
    std::vector<Step> steps;
    std::string out;
    std::string err;
};

// Runs the sequence against a camera that is not ready until status read `ready_at`
// and answers requests of `failing` with a failure status.
Outcome run(VirtualBridge &bridge, int32_t mode, int ready_at = 1, std::optional<Step> failing = {})
{
    int reads = 0;
    bridge.answer = [&](const Request &r) {
        if (failing && *failing == Step{r.id, r.type})
            return status_answer(r, 1);
        if (r.id == kStatus)
            bridge.regs[kStatus] = {static_cast<uint8_t>(++reads < ready_at ? 1 : 0), 0, 0, 0, 0, 0, 0, 0};
        return bridge.serve(r);
    };
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Outcome outcome{LEP3_SetInitParameter(mode), {}, {}, {}};
    (void)std::fflush(stdout);
    (void)std::fflush(stderr);
    outcome.out = testing::internal::GetCapturedStdout();
    outcome.err = testing::internal::GetCapturedStderr();
    for (const Request &r : bridge.requests)
        outcome.steps.emplace_back(r.id, r.type);
    return outcome;
}

} // namespace

TEST(InitParameters, ModeOneRunsEveryStepOnceAndChangesOnlyWordsZeroAndFive)
{
    VirtualBridge bridge;
    lep3_ffc_shutter_mode_t read{{11, 12, 13, 14, 15, 16, 17, 18}};
    const auto *raw = reinterpret_cast<const uint8_t *>(&read);
    bridge.regs[kShutterMode] = Bytes(raw, raw + sizeof read);
    const Outcome r = run(bridge, 1);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, "Init Lepton3 parameter OK.\n");
    EXPECT_EQ(r.steps, (std::vector<Step>{kReadStatus, kSetRad, kReadObj, kWriteObj}));
    EXPECT_EQ(bridge.requests_for(kRadEnable).at(0).args, (Bytes{1, 0, 0, 0}));
    EXPECT_TRUE(bridge.sleeps.empty());

    lep3_ffc_shutter_mode_t written{};
    std::memcpy(&written, bridge.regs[kShutterMode].data(), sizeof written);
    const lep3_ffc_shutter_mode_t expected{{1, 12, 13, 14, 15, 180000, 17, 18}};
    EXPECT_EQ(std::memcmp(&written, &expected, sizeof written), 0);
}

TEST(InitParameters, OtherModesLeaveRadiometryAlone)
{
    for (int32_t mode : {0, 2, -1}) {
        VirtualBridge bridge;
        const Outcome r = run(bridge, mode);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.steps, (std::vector<Step>{kReadStatus, kReadObj, kWriteObj})) << mode;
    }
}

TEST(InitParameters, ReadinessIsAskedSixTimesHalfASecondApart)
{
    {
        VirtualBridge bridge;
        const Outcome r = run(bridge, 1, 6);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(bridge.requests_for(kStatus).size(), 6u);
        EXPECT_EQ(bridge.sleeps, std::vector<useconds_t>(5, kReadyPause));
    }
    {
        VirtualBridge bridge;
        const Outcome r = run(bridge, 1, 7);
        EXPECT_EQ(r.result, -1);
        EXPECT_EQ(r.out, "ERROR:lepton3 is not ready!\n");
        EXPECT_EQ(r.steps, std::vector<Step>(6, kReadStatus));
        EXPECT_EQ(bridge.sleeps, std::vector<useconds_t>(6, kReadyPause));
    }
    {
        VirtualBridge bridge; // a failed status transaction counts as not ready
        const Outcome r = run(bridge, 1, 1, kReadStatus);
        EXPECT_EQ(r.result, -1);
        EXPECT_EQ(r.steps, std::vector<Step>(6, kReadStatus));
    }
}

TEST(InitParameters, LaterStepsTryFourTimesThenStopTheSequence)
{
    struct Case {
        Step failing;
        std::vector<Step> steps;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {kSetRad, {kReadStatus, kSetRad, kSetRad, kSetRad, kSetRad}, "", "Called LEP3_SetRadEnableState failed.\n"},
        {kReadObj,
         {kReadStatus, kSetRad, kReadObj, kReadObj, kReadObj, kReadObj},
         "LEP3_GetSysFfcShutterModeObj failed!\n",
         ""},
        {kWriteObj,
         {kReadStatus, kSetRad, kReadObj, kWriteObj, kWriteObj, kWriteObj, kWriteObj},
         "LEP3_SetSysFfcShutterModeObj failed!\n",
         ""},
    };
    for (const Case &c : cases) {
        VirtualBridge bridge;
        const Outcome r = run(bridge, 1, 1, c.failing);
        EXPECT_EQ(r.result, -1);
        EXPECT_EQ(r.steps, c.steps);
        EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Init Lepton3"), std::string::npos);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(bridge.sleeps, std::vector<useconds_t>(4, kStepPause));
    }
}
