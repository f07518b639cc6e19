// The running firmware's version as the bridge reports it, and a failed request for it.
#include <string>

#include <gtest/gtest.h>

#include "bridge_fixture.h"

using namespace lep3::test;

class BridgeIdentity : public BridgeFixture {};

TEST_F(BridgeIdentity, VersionIsLowByteFirstAndAFailedRequestLeavesTheVariable)
{
    lep3::sim::Options options;
    options.firmware_version = 0x0105;
    start(options);
    uint32_t version = 0;
    EXPECT_EQ(LEP3_GetFirmwareVersion(&version), 0);
    EXPECT_EQ(version, 261u);

    set_faults([](auto &f) { f.commands[0x0401].wrong_id = true; });
    version = 7;
    testing::internal::CaptureStdout();
    EXPECT_EQ(LEP3_GetFirmwareVersion(&version), -9);
    (void)std::fflush(stdout);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("Send get firmware version error: -9!"), std::string::npos) << printed;
    EXPECT_EQ(version, 7u);
    EXPECT_EQ(LEP3_GetFirmwareVersion(nullptr), -5);
}
