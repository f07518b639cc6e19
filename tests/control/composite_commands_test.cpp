// Commands made of several transactions: how many status polls and pauses a flat-field
// correction takes and what ends its wait; the start-up sequence's step order, retries,
// pauses, early stop, and what it writes into the FFC object; and, over the whole link
// against the bridge emulator, the camera-reset notices that start it again, each one
// re-initialisation whose transactions and the host's are kept apart.
#include <algorithm>

#include "support/eventually.h"
#include "support/link_harness.h"

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
                if (states.empty() || r.id != status_id)
                    return states.empty() ? status_answer(r, 7) : bridge.serve(r);
                const int32_t state = states[std::min(poll++, states.size() - 1)];
                bridge.regs[r.id] = bytes_of(state);
                return state == -9 ? Answer{} : bridge.serve(r);
            };
            EXPECT_EQ(stdout_of([&, run = run, code = code] { EXPECT_EQ(run(), code); }),
                      states.empty()   ? "LEP3_RunCommand: execute run command failed, reply:07\n"
                      : polls > pauses ? "LEP3_GetCommand: reply timeout\n" + poll_name + ": reply error:-2\n"
                      : code != 0      ? run_name + ": reply timeout\n"
                                       : "");
            const Request &first = bridge.requests.at(0), &last = bridge.requests.back(); // a poll asks 2 words
            EXPECT_EQ(std::make_tuple(first.id, first.type, bridge.requests.size(), last.id, last.args),
                      std::make_tuple(run_id, kRun, 1 + polls, polls ? status_id : run_id, polls ? Bytes{2} : Bytes{}));
            EXPECT_EQ(static_cast<size_t>(std::count(bridge.sleeps.begin(), bridge.sleeps.end(), 100000)), pauses);
        }
}

// Steps by letter: S reads the status, R sets radiometry on, O reads the FFC object and W
// writes it back; mode 1 alone sets radiometry on, and only words 0 and 5 of the FFC
// object change. A case: the mode, the status read that first reports ready, the step
// answered with a failure status, the steps as sent, the pauses, the end of stdout, stderr.
TEST(InitParameters, StepOrderRetriesPausesAndEarlyStop)
{
    const std::string ok = "OK.\n", not_ready = "ERROR:lepton3 is not ready!\n";
    // clang-format off
    const std::tuple<int32_t, int, char, std::string, size_t, useconds_t, std::string, std::string> cases[] = {
        {1, 1, 0, "SROW", 0, 0, ok, ""}, {2, 1, 0, "SOW", 0, 0, ok, ""}, {-1, 1, 0, "SOW", 0, 0, ok, ""},
        {0, 6, 0, "SSSSSSOW", 5, 500000, ok, ""}, {1, 7, 0, "SSSSSS", 6, 500000, not_ready, ""},
        {1, 1, 'S', "SSSSSS", 6, 500000, not_ready, ""},
        {1, 1, 'R', "SRRRR", 4, 10000, "", "Called LEP3_SetRadEnableState failed.\n"},
        {1, 1, 'O', "SROOOO", 4, 10000, "LEP3_GetSysFfcShutterModeObj failed!\n", ""},
        {1, 1, 'W', "SROWWWW", 4, 10000, "LEP3_SetSysFfcShutterModeObj failed!\n", ""}};
    // clang-format on
    const lep3_ffc_shutter_mode_t read{{11, 12, 13, 14, 15, 16, 17, 18}}, want{{1, 12, 13, 14, 15, 180000, 17, 18}};
    const auto letter = [](const Request &r) { return r.id == 0x0204 ? 'S' : r.id == 0x4E10 ? 'R' : "OW"[r.type]; };
    for (const auto &[mode, ready_at, failing, steps, pauses, pause, out, err] : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << mode << ", " << steps);
        VirtualBridge bridge;
        bridge.regs[0x023C] = bytes_of(read);
        int reads = 0;
        bridge.answer = [&, ready_at = ready_at, failing = failing](const Request &r) {
            if (letter(r) == failing)
                return status_answer(r, 1);
            if (r.id == 0x0204)
                bridge.regs[r.id] = {static_cast<uint8_t>(++reads < ready_at ? 1 : 0), 0, 0, 0, 0, 0, 0, 0};
            return bridge.serve(r);
        };
        testing::internal::CaptureStderr();
        const std::string printed =
            stdout_of([&, mode = mode, out = out] { EXPECT_EQ(LEP3_SetInitParameter(mode), out == ok ? 0 : -1); });
        EXPECT_EQ(testing::internal::GetCapturedStderr(), err);
        std::string sent;
        for (const Request &r : bridge.requests)
            sent += letter(r);
        EXPECT_EQ(std::make_pair(sent, bridge.sleeps), std::make_pair(steps, std::vector<useconds_t>(pauses, pause)));
        EXPECT_TRUE(printed.ends_with(out)) << printed; // after any message of the failed transaction
        EXPECT_EQ(printed.find("Init Lepton3 parameter OK.\n") != std::string::npos, out == ok);
        EXPECT_TRUE(steps != "SROW" ||
                    (bridge.regs[0x023C] == bytes_of(want) && bridge.regs[0x4E10] == Bytes{1, 0, 0, 0}));
    }
}

// Host commands whose replies lag, so each notice lands while the host waits and the
// thread it starts wants the link at once. A re-initialisation sets radiometry once and
// reads and writes the FFC object once; the notices wait for it. The register the host
// reads keeps one value, so no reply of it ends in 0xAA, which would cost the next packet.
TEST(ResetNotice, EachStartsOneReinitialisationAndHostCommandsKeepTheirOwnReplies)
{
    constexpr size_t kCommands = 40, kNotices = 5;
    constexpr uint16_t kTelemetry = 0x0218, kRadEnable = 0x4E10, kShutterMode = 0x023C;
    lep3::test::LinkHarness link;
    auto &sim = link.sim();
    sim.set_faults({.commands = {{kTelemetry, {.late_reply_ms = 50}}}});
    sim.clear_requests();
    std::atomic<bool> host_done{false};
    std::thread notices([&] {
        for (size_t i = 0; i < kNotices && !host_done.load(); ++i) {
            const size_t seen = sim.request_count(kTelemetry);
            lep3::test::eventually([&] { return sim.request_count(kTelemetry) > seen || host_done.load(); },
                                   std::chrono::seconds(10));
            sim.send_reset_notice();
            lep3::test::eventually([&] { return sim.request_count(kShutterMode) == 2 * (i + 1) || host_done.load(); },
                                   std::chrono::seconds(10));
        }
    });
    const std::string out = lep3::test::stdout_of([&] {
        for (size_t i = 0; i < kCommands; ++i) {
            uint32_t telemetry = 0;
            EXPECT_EQ(LEP3_GetSysTelemetryEnableState(&telemetry), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        lep3::test::eventually([&] { return sim.request_count(kShutterMode) == 2 * kNotices; },
                               std::chrono::seconds(10));
        // Give a wrongly started extra thread the time to show itself.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        host_done.store(true);
        notices.join();
    });
    EXPECT_EQ(out.find("commandID error"), std::string::npos) << out;
    EXPECT_EQ(
        std::make_tuple(sim.request_count(kTelemetry), sim.request_count(kRadEnable), sim.request_count(kShutterMode)),
        std::make_tuple(kCommands, kNotices, 2 * kNotices));
}
