// The start-up sequence: the order of its steps, each step's retries and pauses, the
// early stop at a step that fails for good, and what it writes into the FFC object.
#include <gtest/gtest.h>

#include "lep3.h"
#include "virtual_bridge.h"

using namespace lep3::test;

namespace {

Bytes bytes_of(const lep3_ffc_shutter_mode_t &obj)
{
    return Bytes(reinterpret_cast<const uint8_t *>(&obj), reinterpret_cast<const uint8_t *>(&obj + 1));
}

} // namespace

TEST(InitParameters, ModeOneSetsRadiometryOnAndChangesOnlyWordsZeroAndFiveOfTheFfcObject)
{
    VirtualBridge bridge;
    bridge.regs[0x023C] = bytes_of({{11, 12, 13, 14, 15, 16, 17, 18}});
    int result = -1;
    EXPECT_EQ(stdout_of([&] { result = LEP3_SetInitParameter(1); }), "Init Lepton3 parameter OK.\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(bridge.regs[0x4E10], (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(bridge.regs[0x023C], bytes_of({{1, 12, 13, 14, 15, 180000, 17, 18}}));
}

// Steps by letter: S reads the status, R sets radiometry on, O reads the FFC object and W
// writes it back. A case: the mode, the status read that first reports ready, the step
// answered with a failure status, the steps as sent, the pauses, the end of stdout, stderr.
TEST(InitParameters, StepOrderRetriesPausesAndEarlyStop)
{
    struct Case {
        int32_t mode, ready_at;
        char failing;
        std::string steps;
        size_t pauses;
        useconds_t pause;
        std::string out, err;
    };
    const std::string not_ready = "ERROR:lepton3 is not ready!\n";
    const Case cases[] = {
        {2, 1, 0, "SOW", 0, 0, "OK.\n", ""},
        {-1, 1, 0, "SOW", 0, 0, "OK.\n", ""},
        {0, 6, 0, "SSSSSSOW", 5, 500000, "OK.\n", ""},
        {1, 7, 0, "SSSSSS", 6, 500000, not_ready, ""},
        {1, 1, 'S', "SSSSSS", 6, 500000, not_ready, ""},
        {1, 1, 'R', "SRRRR", 4, 10000, "", "Called LEP3_SetRadEnableState failed.\n"},
        {1, 1, 'O', "SROOOO", 4, 10000, "LEP3_GetSysFfcShutterModeObj failed!\n", ""},
        {1, 1, 'W', "SROWWWW", 4, 10000, "LEP3_SetSysFfcShutterModeObj failed!\n", ""},
    };
    const auto letter = [](const Request &r) { return r.id == 0x0204 ? 'S' : r.id == 0x4E10 ? 'R' : "OW"[r.type]; };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", " << c.steps);
        VirtualBridge bridge;
        int reads = 0, result = 1;
        bridge.answer = [&](const Request &r) {
            if (letter(r) == c.failing)
                return status_answer(r, 1);
            if (r.id == 0x0204)
                bridge.regs[r.id] = {static_cast<uint8_t>(++reads < c.ready_at ? 1 : 0), 0, 0, 0, 0, 0, 0, 0};
            return bridge.serve(r);
        };
        testing::internal::CaptureStderr();
        const std::string out = stdout_of([&] { result = LEP3_SetInitParameter(c.mode); });
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(result, c.out == "OK.\n" ? 0 : -1);
        std::string steps;
        for (const Request &r : bridge.requests)
            steps += letter(r);
        EXPECT_EQ(steps, c.steps);
        EXPECT_EQ(bridge.sleeps, std::vector<useconds_t>(c.pauses, c.pause));
        EXPECT_TRUE(out.ends_with(c.out)) << out; // after any message of the failed transaction
        EXPECT_EQ(out.find("Init Lepton3 parameter OK.\n") != std::string::npos, c.out == "OK.\n");
    }
}
