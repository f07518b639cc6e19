// Commands over the whole link against the bridge emulator: camera-reset notices and
// their re-initialisation threads, and the transactions of the host and those threads
// kept apart.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "lep3.h"
#include "link/link_internal.h"
#include "support/link_harness.h"
#include "virtual_bridge.h"

using lep3::test::Bytes;

namespace {

// A register that keeps one value, so no reply of it ends in 0xAA, which would cost the
// packet that follows it.
constexpr uint16_t kTelemetry = 0x0218, kRadEnable = 0x4E10, kShutterMode = 0x023C;
std::atomic<int> reinit_started{0}, reinit_finished{0};

template <typename Pred> bool wait_for(Pred done)
{
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10); !done();)
        if (std::chrono::steady_clock::now() > until)
            return false;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return true;
}

} // namespace

// Host commands whose replies lag, so each notice lands while the host waits and the
// thread it starts wants the link at once.
TEST(ResetNotice, EachStartsOneReinitialisationAndHostCommandsKeepTheirOwnReplies)
{
    constexpr int kCommands = 40, kNotices = 5;
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
    EXPECT_EQ(reinit_started.load(), kNotices);
    EXPECT_EQ(sim.request_count(kTelemetry), size_t{kCommands});
    // Each re-initialisation sets radiometry once and reads and writes the FFC object
    // once, without a retry: automatic FFC every 180000 ms, radiometry on.
    EXPECT_EQ(std::make_pair(sim.request_count(kRadEnable), sim.request_count(kShutterMode)),
              std::make_pair(size_t{kNotices}, size_t{2 * kNotices}));
    const Bytes shutter = sim.reg(kShutterMode);
    ASSERT_EQ(shutter.size(), 32u);
    EXPECT_EQ(Bytes(shutter.begin(), shutter.begin() + 4), (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(Bytes(shutter.begin() + 20, shutter.begin() + 24), (Bytes{0x20, 0xBF, 0x02, 0x00}));
    EXPECT_EQ(sim.reg(kRadEnable), (Bytes{1, 0, 0, 0}));
}
