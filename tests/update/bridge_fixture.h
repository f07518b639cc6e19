// Fixture for update tests against the bridge emulator: the link harness, an image file in
// its firmware directory, a thread that follows the progress word, and the host's part
// after an update (initialising the link again and starting a new reader).
#pragma once

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lep3.h"
#include "support/link_harness.h"
#include "update_test_support.h"

namespace lep3::test {

inline constexpr uint16_t kUserRbfoId = 0x0403;
inline constexpr uint16_t kRestartId = 0x0402;
inline constexpr int kModeWaitMs = 3000;

// Follows rate_of_progress from its own thread, as a host's display would, and records
// every value it sees change to. It looks every 100 us: often enough for every step that
// waits on the bridge or a pause, without taking a core from the threads under test.
class ProgressWatcher {
  public:
    explicit ProgressWatcher(std::function<void(int32_t)> on_change = {})
        : on_change_(std::move(on_change)), thread_([this] { watch(); })
    {
    }
    ~ProgressWatcher() { stop(); }
    ProgressWatcher(const ProgressWatcher &) = delete;
    ProgressWatcher &operator=(const ProgressWatcher &) = delete;

    std::vector<int32_t> stop()
    {
        stop_.store(true);
        if (thread_.joinable())
            thread_.join();
        return seen_;
    }

  private:
    void watch()
    {
        int32_t last = 0;
        LEP3_GetUpdateRate(&last);
        for (bool last_look = false; !last_look;) {
            // One more look after the stop request: the update's final value is in by then.
            last_look = stop_.load();
            int32_t now = 0;
            LEP3_GetUpdateRate(&now);
            if (now != last) {
                seen_.push_back(now);
                last = now;
                if (on_change_)
                    on_change_(now);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }

    std::function<void(int32_t)> on_change_;
    std::atomic<bool> stop_{false};
    std::vector<int32_t> seen_;
    std::thread thread_;
};

class BridgeFixture : public testing::Test {
  protected:
    void start(lep3::sim::Options options = {})
    {
        set_rate_of_progress(0);
        harness_ = std::make_unique<LinkHarness>(std::move(options));
    }

    void TearDown() override
    {
        if (link_down_)
            relink();
        harness_.reset();
    }

    LinkHarness &harness() { return *harness_; }
    lep3::sim::BridgeSim &sim() { return harness_->sim(); }

    void put_image(const std::vector<uint8_t> &data, const std::string &version = "1.05")
    {
        put_file(image_file(version, data));
    }
    void put_file(const std::vector<uint8_t> &bytes)
    {
        write_file(std::filesystem::path(LEP3_GetPath(LEP3_PATH_FIRMWARE_DIR)) / "SAMG55_V1.5.talvor", bytes);
    }

    void set_faults(const std::function<void(lep3::sim::Faults &)> &change)
    {
        lep3::sim::Faults faults = sim().faults();
        change(faults);
        sim().set_faults(faults);
    }

    // The bridge restarted into its bootloader and the link's reader stopped, as an update
    // has it before the transfer.
    void enter_bootloader()
    {
        link_down_ = true;
        ASSERT_EQ(LEP3_RebootSAMG55(), 0);
        pthread_cancel(harness_->reader());
        ASSERT_TRUE(sim().wait_mode(lep3::sim::Mode::bootloader, kModeWaitMs));
    }

    // Runs an update the way a host does; returns its result with the printed text and
    // the progress values another thread saw.
    int update(const std::function<void(int32_t)> &on_progress = {})
    {
        link_down_ = true;
        ProgressWatcher watcher(on_progress);
        testing::internal::CaptureStdout();
        const int result = LEP3_UpdateSAMG55(harness_->reader());
        (void)std::fflush(stdout);
        printed_ = testing::internal::GetCapturedStdout();
        progress_ = watcher.stop();
        return result;
    }

    // What a host does after an update has taken the link down: release what is left of
    // the queues, initialise the link and start a new reader.
    bool relink()
    {
        link_down_ = false;
        queue_clear(&uart_queue);
        frame_queue_free(&frame_queue);
        testing::internal::CaptureStdout();
        const bool up = LEP3_Init() == 0;
        (void)std::fflush(stdout);
        testing::internal::GetCapturedStdout();
        if (up)
            harness_->restart_reader();
        return up;
    }

    std::string printed_;
    std::vector<int32_t> progress_;

  private:
    std::unique_ptr<LinkHarness> harness_;
    bool link_down_ = false;
};

// The progress values a watcher saw must follow the update's order without a stranger
// among them, and include every step that lasts at least a pause or a reply's round trip.
// Steps of a few microseconds (75 until the new device opens, 80 while it is configured,
// 95 while the queues are released) may slip past a watcher that loses its core.
inline void expect_progress_trail(const std::vector<int32_t> &seen, const std::vector<int32_t> &order,
                                  const std::vector<int32_t> &must_see)
{
    size_t next = 0;
    for (const int32_t value : seen) {
        while (next < order.size() && order[next] != value)
            ++next;
        ASSERT_LT(next, order.size()) << "progress " << value << " out of order or unexpected";
        ++next;
    }
    for (const int32_t value : must_see)
        EXPECT_NE(std::find(seen.begin(), seen.end(), value), seen.end()) << "progress " << value << " not seen";
}

inline size_t count_of(const std::string &text, const std::string &line)
{
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + line.size()))
        ++n;
    return n;
}

} // namespace lep3::test
