// Helpers for the update tests: image files in a private firmware directory, captured
// console text, a thread that follows the progress word, and a
// fixture around the bridge emulator.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "lep3.h"
#include "support/link_harness.h"
#include "support/process_counts.h"

namespace lep3::test {

using Bytes = std::vector<uint8_t>;
inline constexpr uint16_t kUserRbfoId = 0x0403;

inline Bytes bytes_of(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

// Deterministic image data that is neither constant nor a simple ramp.
inline Bytes image_data(size_t length)
{
    Bytes data(length);
    for (uint32_t x = 7; auto &byte : data)
        byte = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
    return data;
}

inline Bytes image_file(std::string_view version, const Bytes &data)
{
    return bytes_of("SAMG55;V" + std::string(version) + "\r\n" + std::string(data.begin(), data.end()));
}

inline void put_file(const std::string &name, const Bytes &bytes)
{
    std::ofstream(std::filesystem::path(LEP3_GetPath(LEP3_PATH_FIRMWARE_DIR)) / name, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A temporary directory set as the firmware directory while it lives.
struct FirmwareDir {
    std::string path = (std::filesystem::temp_directory_path() / "lep3-update-XXXXXX").string();
    FirmwareDir()
    {
        EXPECT_NE(mkdtemp(path.data()), nullptr);
        EXPECT_EQ(LEP3_SetPath(LEP3_PATH_FIRMWARE_DIR, path.c_str()), 0);
    }
    ~FirmwareDir() { std::filesystem::remove_all(path); }
};

// Runs call with what the library prints on standard output collected into printed, and
// returns what it returned. The messages are taken through the library's message handler,
// which hands over exactly the text it would print, so no descriptor changes hands: a
// captured standard output would hold descriptors that the update's own opens are tested
// for. Standard error still reaches the console.
template <class Call> auto captured(std::string &printed, Call &&call)
{
    static std::mutex lock;
    static std::string text; // outlives a message still on its way from another thread
    {
        const std::lock_guard guard(lock);
        text.clear();
    }
    LEP3_SetMessageHandler(
        [](int stream, const char *message, void *) {
            if (stream != 1)
                return LEP3_ConsoleMessages(stream, message, nullptr);
            const std::lock_guard guard(lock);
            text += message;
        },
        nullptr);
    const auto result = call();
    LEP3_SetMessageHandler(LEP3_ConsoleMessages, nullptr);
    const std::lock_guard guard(lock);
    printed = text;
    return result;
}

inline void expect_in_order(const std::string &text, const std::vector<std::string> &pieces)
{
    size_t at = 0;
    for (const std::string &piece : pieces) {
        const size_t found = text.find(piece, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: \"" << piece << "\" in\n" << text;
        at = found + piece.size();
    }
}

inline size_t count_of(const std::string &text, const std::string &line)
{
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + line.size()))
        ++n;
    return n;
}

// The values a watcher saw must follow the update's order with no stranger among them and
// include every step that lasts at least a pause or a reply's round trip. Steps of a few
// microseconds (75, 80, 95) may slip past a watcher that loses its core.
inline void expect_progress_trail(const std::vector<int32_t> &seen, const std::vector<int32_t> &order,
                                  const std::vector<int32_t> &must_see)
{
    auto next = order.begin();
    for (const int32_t value : seen) {
        next = std::find(next, order.end(), value);
        ASSERT_NE(next++, order.end()) << "progress " << value << " out of order or unexpected";
    }
    for (const int32_t value : must_see)
        EXPECT_NE(std::find(seen.begin(), seen.end(), value), seen.end()) << "progress " << value << " not seen";
}

class BridgeFixture : public testing::Test {
  protected:
    void SetUp() override { start(); }
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

    lep3::sim::BridgeSim &sim() { return harness_->sim(); }
    void put_image(const Bytes &data) { put_file("SAMG55_V1.5.talvor", image_file("1.05", data)); }
    void set_faults(const std::function<void(lep3::sim::Faults &)> &change)
    {
        lep3::sim::Faults faults = sim().faults();
        change(faults);
        sim().set_faults(faults);
    }

    // The bridge restarted into its bootloader with the link's reader stopped, as an update
    // has it before the transfer.
    void enter_bootloader()
    {
        link_down_ = true;
        ASSERT_EQ(LEP3_RebootSAMG55(), 0);
        pthread_cancel(harness_->reader());
        ASSERT_TRUE(sim().wait_mode(lep3::sim::Mode::bootloader, 3000));
    }

    // Runs an update the way a host does, keeping the printed text and the values another
    // thread saw the progress word change to. That thread looks every 100 us: often enough
    // for every step that waits on the bridge or a pause, without taking a core from the
    // threads under test.
    int update(const std::function<void(int32_t)> &on_progress = {})
    {
        link_down_ = true;
        progress_.clear();
        std::atomic<bool> done{false};
        std::thread watcher([&] {
            int32_t last = 0;
            LEP3_GetUpdateRate(&last);
            // One more look once the update returned: its final value is in by then.
            for (bool last_look = false; !last_look; std::this_thread::sleep_for(std::chrono::microseconds(100))) {
                last_look = done;
                int32_t now = 0;
                LEP3_GetUpdateRate(&now);
                if (now == last)
                    continue;
                progress_.push_back(last = now);
                if (on_progress)
                    on_progress(now);
            }
        });
        const int result = captured(printed_, [this] { return LEP3_UpdateSAMG55(harness_->reader()); });
        done = true;
        watcher.join();
        // -1 and -2 leave the link up, reader and all.
        link_down_ = result != -1 && result != -2;
        return result;
    }

    // What a host does after an update took the link down: collect the cancelled reader,
    // initialise the link (which releases what is left of the queues) and start a new
    // reader.
    bool relink()
    {
        link_down_ = false;
        harness_->stop_reader();
        std::string ignored;
        const bool up = captured(ignored, [] { return LEP3_Init() == 0; });
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

} // namespace lep3::test
