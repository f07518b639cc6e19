// Camera-reset notices over the whole link against the bridge emulator: each starts one
// re-initialisation thread, and its transactions and the host's are kept apart.
#include "support/eventually.h"
#include "support/link_harness.h"
#include "virtual_bridge.h"

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
