// Camera-reset notices over the whole link against the bridge emulator: each starts one
// re-initialisation thread, and its transactions and the host's are kept apart.
#include "support/link_harness.h"
#include "virtual_bridge.h"

namespace {

std::atomic<int> reinit_started{0}, reinit_finished{0};

// Polls every 5 ms for at most 10 s.
template <typename Pred> bool wait_for(Pred done)
{
    for (int i = 0; i < 2000 && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done();
}

} // namespace

// Host commands whose replies lag, so each notice lands while the host waits and the
// thread it starts wants the link at once. The register read keeps one value, so no reply
// of it ends in 0xAA, which would cost the packet that follows it.
TEST(ResetNotice, EachStartsOneReinitialisationAndHostCommandsKeepTheirOwnReplies)
{
    constexpr int kCommands = 40, kNotices = 5;
    constexpr uint16_t kTelemetry = 0x0218;
    lep3::link::set_reinit_routine([](void *arg) {
        reinit_started.fetch_add(1);
        void *result = LEP3_Daemon_Thr(arg);
        reinit_finished.fetch_add(1);
        return result;
    });
    lep3::test::LinkHarness link;
    auto &sim = link.sim();
    lep3::sim::Faults faults = sim.faults();
    faults.commands[kTelemetry].late_reply_ms = 50;
    sim.set_faults(faults);
    sim.clear_requests();
    std::atomic<bool> host_done{false};
    std::thread notices([&] {
        for (int i = 0; i < kNotices && !host_done.load(); ++i) {
            const size_t seen = sim.request_count(kTelemetry);
            if (!wait_for([&] { return sim.request_count(kTelemetry) > seen || host_done.load(); }))
                return;
            sim.send_reset_notice();
            wait_for([&] { return reinit_finished.load() == i + 1 || host_done.load(); });
        }
    });
    std::vector<int> results;
    const std::string out = lep3::test::stdout_of([&] {
        for (int i = 0; i < kCommands; ++i) {
            uint32_t telemetry = 0;
            results.push_back(LEP3_GetSysTelemetryEnableState(&telemetry));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        // Give a wrongly started extra thread the time to show itself.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_TRUE(wait_for([] { return reinit_finished.load() == reinit_started.load(); }));
        host_done.store(true);
        notices.join();
    });
    EXPECT_EQ(results, std::vector<int>(kCommands, 0));
    EXPECT_EQ(out.find("commandID error"), std::string::npos) << out;
    // Each re-initialisation sets radiometry once and reads and writes the FFC object
    // once, without a retry.
    EXPECT_EQ(std::make_tuple(reinit_started.load(), sim.request_count(kTelemetry), sim.request_count(0x4E10),
                              sim.request_count(0x023C)),
              std::make_tuple(kNotices, size_t{kCommands}, size_t{kNotices}, size_t{2 * kNotices}));
}
