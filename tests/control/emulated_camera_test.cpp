// Commands over the whole link against the bridge emulator: requests as the bridge
// receives them, the full reply wait, camera-reset notices and their re-initialisation
// thread, and transactions of the host and that thread kept apart.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "lep3.h"
#include "link/link_internal.h"
#include "support/link_harness.h"

using lep3::sim::CommandFault;
using lep3::sim::Faults;
using lep3::test::LinkHarness;
using Bytes = std::vector<uint8_t>;

namespace {

// The host's command in the serialisation test: a register that keeps one value, so no
// reply of it can end in 0xAA, which would cost the packet that follows it.
constexpr uint16_t kTelemetry = 0x0218;
constexpr uint16_t kFpaTemperature = 0x0214;
constexpr uint16_t kRadEnable = 0x4E10;
constexpr uint16_t kShutterMode = 0x023C;

// Re-initialisation threads started by the parser, and how many have finished.
std::atomic<int> reinit_started{0};
std::atomic<int> reinit_finished{0};

void *counting_reinit(void *arg)
{
    reinit_started.fetch_add(1);
    void *result = LEP3_Daemon_Thr(arg);
    reinit_finished.fetch_add(1);
    return result;
}

template <typename Pred> bool wait_for(Pred done, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

uint32_t word32(const Bytes &bytes, size_t word)
{
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + 4 * word, sizeof value);
    return value;
}

std::string flushed_stdout()
{
    (void)std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

TEST(EmulatedCamera, RequestsArriveWholeAndRepliesComeBackThroughTheParser)
{
    LinkHarness link;
    auto &sim = link.sim();
    sim.clear_requests();

    ASSERT_EQ(LEP3_RunSysPing(), 0);
    uint32_t telemetry = 1;
    ASSERT_EQ(LEP3_GetSysTelemetryEnableState(&telemetry), 0);
    EXPECT_EQ(telemetry, 0u);
    ASSERT_EQ(LEP3_SetSysTelemetryEnableState(1), 0);
    ASSERT_EQ(LEP3_SetAgcHeqLinearPercent(0x12345), 0);
    const auto requests = sim.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0], (Bytes{0xAA, 0x55, 0x03, 0x02, 0x00, 0x02, 0xAF}));
    EXPECT_EQ(Bytes(requests[1].begin(), requests[1].end() - 1), (Bytes{0xAA, 0x55, 0x04, 0x02, 0x18, 0x00, 0x02}));
    EXPECT_EQ(Bytes(requests[2].begin(), requests[2].end() - 1),
              (Bytes{0xAA, 0x55, 0x07, 0x02, 0x18, 0x01, 0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Bytes(requests[3].begin(), requests[3].end() - 1),
              (Bytes{0xAA, 0x55, 0x05, 0x01, 0x4C, 0x01, 0x45, 0x23}));
    EXPECT_EQ(sim.crc_errors(), 0u);
    EXPECT_EQ(word32(sim.reg(0x0218), 0), 1u);

    // A reply written one byte at a time is assembled all the same.
    Faults faults = sim.faults();
    faults.commands[kFpaTemperature].split_reply = true;
    sim.set_faults(faults);
    sim.set_reg(kFpaTemperature, {0x77, 0x74});
    float fpa = 0.0f;
    ASSERT_EQ(LEP3_GetSysFpaTemperatureCelcius(&fpa), 0);
    EXPECT_EQ(fpa, 25.0f);
}

TEST(EmulatedCamera, SilentBridgeCostsTheFullWaitThenTheLinkWorksAgain)
{
    LinkHarness link;
    auto &sim = link.sim();
    Faults faults = sim.faults();
    faults.commands[kFpaTemperature].no_reply = true;
    sim.set_faults(faults);

    float fpa = 123.0f;
    testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LEP3_GetSysFpaTemperatureCelcius(&fpa), -2);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(count_of(flushed_stdout(), "LEP3_GetCommand: reply timeout\n"), 1u);
    EXPECT_EQ(fpa, 123.0f);
    EXPECT_GE(waited, std::chrono::seconds(7)); // a lower bound only: 7000 polls of at least 1 ms

    faults.commands.clear();
    sim.set_faults(faults);
    EXPECT_EQ(LEP3_GetSysFpaTemperatureCelcius(&fpa), 0);
    EXPECT_NE(fpa, 123.0f);
}

TEST(ResetNotice, StartsExactlyOneReinitialisationThatRestoresAutomaticFfcAndRadiometry)
{
    reinit_started.store(0);
    reinit_finished.store(0);
    lep3::link::set_reinit_routine(counting_reinit);
    LinkHarness link;
    auto &sim = link.sim();
    sim.clear_requests();
    testing::internal::CaptureStdout();
    sim.send_reset_notice();
    ASSERT_TRUE(wait_for([] { return reinit_finished.load() == 1; }));
    // Give a second, wrongly started thread the time to show itself.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(count_of(flushed_stdout(), "Init Lepton3 parameter OK.\n"), 1u);
    EXPECT_EQ(reinit_started.load(), 1);

    const Bytes shutter = sim.reg(kShutterMode);
    ASSERT_EQ(shutter.size(), 32u);
    EXPECT_EQ(word32(shutter, 0), 1u);
    EXPECT_EQ(word32(shutter, 5), 180000u);
    EXPECT_EQ(word32(sim.reg(kRadEnable), 0), 1u);
    EXPECT_EQ(sim.request_count(kRadEnable), 1u);
    EXPECT_EQ(sim.request_count(kShutterMode), 2u); // read once, written once
}

TEST(ResetNotice, HostCommandsKeepTheirOwnRepliesWhileNoticesArrive)
{
    constexpr int kCommands = 40;
    constexpr int kNotices = 5;
    reinit_started.store(0);
    reinit_finished.store(0);
    lep3::link::set_reinit_routine(counting_reinit);
    LinkHarness link;
    auto &sim = link.sim();
    // Each host command's reply lags, so a notice sent as soon as the request arrives
    // lands while the host is waiting, and the thread it starts wants the link at once.
    Faults faults = sim.faults();
    faults.commands[kTelemetry].late_reply_ms = 50;
    sim.set_faults(faults);
    sim.clear_requests();

    std::atomic<bool> host_done{false};
    std::thread notices([&] {
        for (int i = 0; i < kNotices && !host_done.load(); ++i) {
            // Wait for a fresh host request, whose reply is still on its way.
            const size_t seen = sim.request_count(kTelemetry);
            if (!wait_for([&] { return sim.request_count(kTelemetry) > seen || host_done.load(); }))
                return;
            sim.send_reset_notice();
            wait_for([&] { return reinit_finished.load() == i + 1 || host_done.load(); });
        }
    });

    testing::internal::CaptureStdout();
    std::vector<int> results;
    for (int i = 0; i < kCommands; ++i) {
        uint32_t telemetry = 0;
        results.push_back(LEP3_GetSysTelemetryEnableState(&telemetry));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(wait_for([] { return reinit_finished.load() == reinit_started.load(); }));
    host_done.store(true);
    notices.join();
    const std::string out = flushed_stdout();

    EXPECT_EQ(results, std::vector<int>(kCommands, 0));
    EXPECT_EQ(out.find("commandID error"), std::string::npos) << out;
    EXPECT_EQ(reinit_started.load(), kNotices);
    EXPECT_EQ(count_of(out, "Init Lepton3 parameter OK.\n"), static_cast<size_t>(kNotices)) << out;
    EXPECT_EQ(sim.request_count(kTelemetry), static_cast<size_t>(kCommands));
}
