// Fault soak: video streams from the emulator while it injects garbage between packets,
// splits its writes, corrupts frames and resets the camera; meanwhile the host issues
// commands and takes frames. Nothing may crash, every frame must be either exactly what
// the emulator sent or one it corrupted on purpose, frame numbers only rise, and every
// command ends with one of its result codes. Bounded by LEP3_SOAK_SECONDS (default 20).
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lep3.h"
#include "support/link_harness.h"

namespace {

using lep3::sim::BridgeSim;
using lep3::sim::kPixels;

int soak_seconds()
{
    const char *value = std::getenv("LEP3_SOAK_SECONDS");
    const int seconds = value ? std::atoi(value) : 20;
    return seconds > 10 ? seconds : 20;
}

int differing_pixels(const std::vector<uint16_t> &frame, uint32_t seq)
{
    std::vector<uint16_t> expected(kPixels);
    BridgeSim::raw_frame(seq, expected.data());
    int differences = 0;
    for (int i = 0; i < kPixels; ++i)
        differences += frame[static_cast<size_t>(i)] != expected[static_cast<size_t>(i)];
    return differences;
}

struct FrameLog {
    uint64_t frames = 0;
    uint64_t exact = 0;
    std::vector<uint32_t> damaged; // stamps of frames that differ from what was sent
    std::vector<int> damaged_pixels;
    bool numbers_rose = true;
};

// The codes a command may end with when bytes are lost, late or garbled.
bool is_command_code(int code)
{
    return code == 0 || code == -1 || code == -2 || code == -9 || code == -10;
}

TEST(FaultSoak, FramesStayExactAndCommandsEndWithTheirCodesUnderInjectedFaults)
{
    lep3::sim::Options options;
    options.fps = 10;
    options.seed = 7;
    lep3::test::LinkHarness link(options);
    lep3::sim::Faults faults;
    faults.garbage_between_packets = true;
    faults.split_writes = true;
    faults.corrupt_frame_every = 5;
    link.sim().set_faults(faults);
    ASSERT_EQ(LEP3_GetRawVideo(), 0);

    std::atomic<bool> stop{false};
    FrameLog frames;
    std::thread consumer([&] {
        std::vector<uint16_t> frame(lep3::sim::kPixels * 3 / 2); // room for any frame
        uint32_t width = 0, height = 0, format = 0, size = 0, number = 0, last = 0;
        while (!stop) {
            if (LEP3_GetFrameFromQueue(reinterpret_cast<uint8_t *>(frame.data()), &width, &height, &format, &size,
                                       &number) != 0)
                continue;
            ++frames.frames;
            frames.numbers_rose = frames.numbers_rose && number > last;
            last = number;
            if (format != 0)
                continue;
            const uint32_t seq = BridgeSim::stamp_of_raw(frame.data());
            const int differences = differing_pixels(frame, seq);
            if (differences == 0) {
                ++frames.exact;
            } else {
                frames.damaged.push_back(seq);
                frames.damaged_pixels.push_back(differences);
            }
        }
    });

    std::atomic<uint64_t> commands_ok{0}, unexpected_codes{0};
    std::thread host([&] {
        while (!stop) {
            float fpa = 0;
            lep3_sys_status_t status{};
            for (const int code :
                 {LEP3_GetSysFpaTemperatureCelcius(&fpa), LEP3_RunSysPing(), LEP3_GetSysStatus(&status)}) {
                commands_ok += code == 0;
                unexpected_codes += !is_command_code(code);
            }
        }
    });

    // Camera resets come during all but the last 8 s, so the re-initialisation threads
    // they start are done before the link is torn down.
    int resets = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::seconds(soak_seconds());
    const auto last_reset = end - std::chrono::seconds(8);
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        if (std::chrono::steady_clock::now() < last_reset) {
            link.sim().send_reset_notice();
            ++resets;
        }
    }
    stop = true;
    host.join();
    consumer.join(); // the stream goes on, so the consumer's last wait ends
    // The last notices' re-initialisation threads may still be issuing commands: let them
    // finish before the link is torn down (their longest pause is half a second).
    for (size_t seen = 0, now = link.sim().requests().size(), rounds = 0; seen != now && rounds < 20; ++rounds) {
        seen = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        now = link.sim().requests().size();
    }

    const std::vector<uint32_t> corrupted = link.sim().corrupted_frames();
    const std::set<uint32_t> corrupted_set(corrupted.begin(), corrupted.end());
    for (size_t i = 0; i < frames.damaged.size(); ++i) {
        EXPECT_TRUE(corrupted_set.count(frames.damaged[i]))
            << "frame " << frames.damaged[i] << " differs from what the emulator sent, but was not corrupted";
        EXPECT_EQ(frames.damaged_pixels[i], 1) << "frame " << frames.damaged[i];
    }
    EXPECT_TRUE(frames.numbers_rose);
    EXPECT_EQ(unexpected_codes.load(), 0U);
    EXPECT_GT(frames.exact, 0U);
    EXPECT_GT(commands_ok.load(), 0U);
    std::fprintf(stderr,
                 "soak: %d s, frames taken %llu (exact %llu, corrupted on purpose %zu of %zu), commands ok %llu, reset "
                 "notices %d\n",
                 soak_seconds(), static_cast<unsigned long long>(frames.frames),
                 static_cast<unsigned long long>(frames.exact), frames.damaged.size(), corrupted.size(),
                 static_cast<unsigned long long>(commands_ok.load()), resets);
}

} // namespace
