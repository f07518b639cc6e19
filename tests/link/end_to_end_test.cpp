// The whole link against the bridge emulator: frames arriving whole and in order, also
// under split writes and garbage. The counters of each fault are the parser's tests'.

#include <cstring>

#include "link/helpers.h"
#include "support/link_harness.h"

namespace {

using lep3::sim::BridgeSim;
using lep3::test::LinkHarness;
using lep3::test::stats;

// The next frame the host takes from the queue.
struct Frame {
    Frame() { EXPECT_EQ(LEP3_GetFrameFromQueue(bytes.data(), &width, &height, &format, &size, &number), 0); }
    std::vector<uint8_t> bytes = std::vector<uint8_t>(57600, 0xEE);
    uint32_t width = 0, height = 0, format = 9, size = 0, number = 0;
};

// Requests video in the format; the host takes frames at 15 fps as they come, and each
// must be the next the emulator sent, pixel for pixel, stamped with its own number.
void expect_consecutive_frames(uint32_t format, int count)
{
    ASSERT_EQ(format == 0 ? LEP3_GetRawVideo() : LEP3_GetRGBVideo(), 0);
    Frame f;
    for (int i = 0; i < 5 && f.format != format; ++i)
        f = Frame(); // frames of the old form may still be on their way
    std::vector<uint8_t> expected(57600);
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            const uint32_t last = f.number;
            f = Frame();
            ASSERT_EQ(f.number, last + 1) << "a frame was lost or delivered twice";
        }
        ASSERT_EQ(f.format, format);
        ASSERT_EQ(std::vector<uint32_t>({f.size, f.width, f.height}),
                  std::vector<uint32_t>({format == 0 ? 38400U : 57600U, 160, 120}));
        ASSERT_TRUE(format == 1 || f.bytes[38400] == 0xEE) << "copied beyond the raw frame";
        const uint32_t stamp = format == 0 ? BridgeSim::stamp_of_raw(reinterpret_cast<const uint16_t *>(f.bytes.data()))
                                           : BridgeSim::stamp_of_rgb(f.bytes.data());
        ASSERT_EQ(stamp, f.number) << "library and emulator count frames differently";
        if (format == 0)
            BridgeSim::raw_frame(stamp, reinterpret_cast<uint16_t *>(expected.data()));
        else
            BridgeSim::rgb_frame(stamp, expected.data());
        ASSERT_EQ(std::memcmp(f.bytes.data(), expected.data(), f.size), 0) << "frame " << stamp << " differs";
    }
}

// Clean first, then with the emulator splitting its writes and putting garbage between
// packets; every check byte matches all along.
TEST(EndToEnd, RawAndRgbFramesArriveInOrderExactlyAsSent)
{
    lep3::sim::Options options;
    options.fps = 15;
    LinkHarness link(options);
    lep3_link_stats_t clean{};
    for (const bool faulty : {false, true}) {
        if (faulty) {
            clean = stats();
            link.sim().set_faults({.garbage_between_packets = true, .split_writes = true});
        }
        expect_consecutive_frames(0, 6);
        expect_consecutive_frames(1, 6);
    }
    const lep3_link_stats_t s = stats();
    EXPECT_EQ(s.frame_check_errors + s.reply_check_errors, 0U) << "a check byte of a clean stream did not match";
    const uint64_t frames = s.frames_raw + s.frames_rgb - clean.frames_raw - clean.frames_rgb;
    // At least one garbage byte before each of those frames, besides their check bytes.
    EXPECT_GT(s.bytes_dropped - clean.bytes_dropped, frames + frames / 2) << "garbage went unnoticed";
}

} // namespace
