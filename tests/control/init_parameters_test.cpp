// The start-up sequence: the order of its steps, each step's retries and pauses, the
// early stop at a step that fails for good, and what it writes into the FFC object.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lep3.h"
#include "virtual_bridge.h"

using lep3::test::Answer;
using lep3::test::Request;
using lep3::test::VirtualBridge;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint16_t kStatus = 0x0204;
constexpr uint16_t kRadEnable = 0x4E10;
constexpr uint16_t kShutterMode = 0x023C;
constexpr useconds_t kReadyPause = 500000;
constexpr useconds_t kStepPause = 10000;

using Step = std::pair<uint16_t, uint8_t>; // command ID, request type

std::vector<Step> steps(const VirtualBridge &bridge)
{
    std::vector<Step> seen;
    for (const Request &request : bridge.requests)
        seen.emplace_back(request.id, request.type);
    return seen;
}

Bytes shutter_object()
{
    Bytes obj(32);
    for (size_t i = 0; i < obj.size(); ++i)
        obj[i] = static_cast<uint8_t>(0xA0 + i);
    return obj;
}

// A camera that is not ready (status word 1) until the given status read.
void ready_at(VirtualBridge &bridge, int read)
{
    auto reads = std::make_shared<int>(0);
    bridge.answer = [&bridge, read, reads](const Request &request) {
        if (request.id == kStatus)
            bridge.regs[kStatus] = {static_cast<uint8_t>(++*reads < read ? 1 : 0), 0, 0, 0, 0, 0, 0, 0};
        return bridge.serve(request);
    };
}

// Every request for this ID is answered with a failure status.
void failing(VirtualBridge &bridge, uint16_t id)
{
    bridge.answer = [&bridge, id](const Request &request) {
        if (request.id == id)
            return Answer{lep3::test::reply_packet(request.id, request.type, Bytes{0x01})};
        return bridge.serve(request);
    };
}

struct Output {
    std::string out;
    std::string err;
};

template <typename F> Output captured(F call)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    call();
    (void)std::fflush(stdout);
    (void)std::fflush(stderr);
    Output output;
    output.out = testing::internal::GetCapturedStdout();
    output.err = testing::internal::GetCapturedStderr();
    return output;
}

} // namespace

TEST(InitParameters, ModeOneRunsEveryStepInOrderAndSetsAutomaticFfc)
{
    VirtualBridge bridge;
    bridge.regs[kShutterMode] = shutter_object();
    const Output output = captured([] { EXPECT_EQ(LEP3_SetInitParameter(1), 0); });
    EXPECT_EQ(output.out, "Init Lepton3 parameter OK.\n");
    EXPECT_EQ(steps(bridge), (std::vector<Step>{{kStatus, 0}, {kRadEnable, 1}, {kShutterMode, 0}, {kShutterMode, 1}}));
    EXPECT_EQ(bridge.requests_for(kRadEnable).at(0).args, (Bytes{1, 0, 0, 0}));

    lep3_ffc_shutter_mode_t written{};
    const Bytes sent = bridge.requests_for(kShutterMode).at(1).args;
    ASSERT_EQ(sent.size(), sizeof written);
    std::memcpy(&written, sent.data(), sizeof written);
    lep3_ffc_shutter_mode_t read{};
    std::memcpy(&read, shutter_object().data(), sizeof read);
    EXPECT_EQ(written.word[0], 1u);
    EXPECT_EQ(written.word[5], 180000u);
    for (size_t i : {1, 2, 3, 4, 6, 7})
        EXPECT_EQ(written.word[i], read.word[i]) << "word " << i;
    EXPECT_TRUE(bridge.sleeps.empty());
}

TEST(InitParameters, OtherModesLeaveRadiometryAlone)
{
    for (int32_t mode : {0, 2, -1}) {
        VirtualBridge bridge;
        captured([mode] { EXPECT_EQ(LEP3_SetInitParameter(mode), 0); });
        EXPECT_EQ(steps(bridge), (std::vector<Step>{{kStatus, 0}, {kShutterMode, 0}, {kShutterMode, 1}}))
            << "mode " << mode;
    }
}

TEST(InitParameters, NeverReadyGivesUpAfterSixReadsAndThreeSecondsSendingNothingElse)
{
    VirtualBridge bridge;
    ready_at(bridge, 100);
    const Output output = captured([] { EXPECT_EQ(LEP3_SetInitParameter(1), -1); });
    EXPECT_EQ(output.out, "ERROR:lepton3 is not ready!\n");
    EXPECT_EQ(steps(bridge), std::vector<Step>(6, {kStatus, 0}));
    EXPECT_EQ(bridge.sleeps, std::vector<useconds_t>(6, kReadyPause));
}

TEST(InitParameters, ReadyAtTheSixthReadGoesOn)
{
    VirtualBridge bridge;
    ready_at(bridge, 6);
    const Output output = captured([] { EXPECT_EQ(LEP3_SetInitParameter(1), 0); });
    EXPECT_EQ(output.out, "Init Lepton3 parameter OK.\n");
    EXPECT_EQ(bridge.requests_for(kStatus).size(), 6u);
    EXPECT_EQ(bridge.sleeps, std::vector<useconds_t>(5, kReadyPause));
    EXPECT_EQ(bridge.requests_for(kShutterMode).size(), 2u);
}

TEST(InitParameters, FailedStatusTransactionCountsAsNotReady)
{
    VirtualBridge bridge;
    failing(bridge, kStatus);
    const Output output = captured([] { EXPECT_EQ(LEP3_SetInitParameter(0), -1); });
    EXPECT_NE(output.out.find("ERROR:lepton3 is not ready!\n"), std::string::npos);
    EXPECT_EQ(bridge.requests.size(), 6u);
}

TEST(InitParameters, RadiometryFailingFourTimesStopsBeforeTheFfcObject)
{
    VirtualBridge bridge;
    failing(bridge, kRadEnable);
    const Output output = captured([] { EXPECT_EQ(LEP3_SetInitParameter(1), -1); });
    EXPECT_EQ(output.err, "Called LEP3_SetRadEnableState failed.\n");
    EXPECT_EQ(output.out.find("Init Lepton3"), std::string::npos);
    EXPECT_EQ(bridge.requests_for(kRadEnable).size(), 4u);
    EXPECT_TRUE(bridge.requests_for(kShutterMode).empty());
    EXPECT_EQ(bridge.sleeps, std::vector<useconds_t>(4, kStepPause));
}

TEST(InitParameters, ObjectReadOrWriteFailingFourTimesEndsWithItsMessage)
{
    {
        VirtualBridge bridge;
        bridge.answer = [&bridge](const Request &request) {
            if (request.id == kShutterMode && request.type == lep3::test::kGet)
                return Answer{lep3::test::reply_packet(request.id, request.type, Bytes{0x01})};
            return bridge.serve(request);
        };
        const Output output = captured([] { EXPECT_EQ(LEP3_SetInitParameter(1), -1); });
        EXPECT_NE(output.out.find("LEP3_GetSysFfcShutterModeObj failed!\n"), std::string::npos);
        EXPECT_EQ(steps(bridge).back(), Step(kShutterMode, 0));
        EXPECT_EQ(bridge.requests_for(kShutterMode).size(), 4u);
        EXPECT_EQ(bridge.sleeps, std::vector<useconds_t>(4, kStepPause));
    }
    {
        VirtualBridge bridge;
        bridge.answer = [&bridge](const Request &request) {
            if (request.id == kShutterMode && request.type == lep3::test::kSet)
                return Answer{lep3::test::reply_packet(request.id, request.type, Bytes{0x01})};
            return bridge.serve(request);
        };
        const Output output = captured([] { EXPECT_EQ(LEP3_SetInitParameter(1), -1); });
        EXPECT_NE(output.out.find("LEP3_SetSysFfcShutterModeObj failed!\n"), std::string::npos);
        EXPECT_EQ(output.out.find("Init Lepton3"), std::string::npos);
        EXPECT_EQ(bridge.requests_for(kShutterMode).size(), 5u); // one read, four writes
        EXPECT_EQ(bridge.sleeps, std::vector<useconds_t>(4, kStepPause));
    }
}
