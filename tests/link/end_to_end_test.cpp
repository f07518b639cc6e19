// The whole link against the bridge emulator: frames arriving whole and in order, also
// under split writes and garbage, and the link counters checked against streams whose
// faults are known.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <vector>

#include "link/helpers.h"
#include "support/link_harness.h"

namespace {

using lep3::sim::BridgeSim;
using lep3::test::LinkHarness;

struct Frame {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(57600);
    uint32_t width = 0, height = 0, format = 9, size = 0, number = 0;
};

Frame take_frame()
{
    Frame f;
    EXPECT_EQ(LEP3_GetFrameFromQueue(f.bytes.data(), &f.width, &f.height, &f.format, &f.size, &f.number), 0);
    return f;
}

lep3::sim::Options at_fps(double fps)
{
    lep3::sim::Options o;
    o.fps = fps;
    return o;
}

lep3_link_stats_t stats()
{
    lep3_link_stats_t s{};
    EXPECT_EQ(LEP3_GetLinkStats(&s), 0);
    return s;
}

// Waits until at least `bytes` were read, the counters stand still and the parser has
// taken every byte the reader got.
lep3_link_stats_t settled_stats(uint64_t bytes)
{
    lep3_link_stats_t before = stats();
    for (int i = 0; i < 400; ++i) {
        usleep(25000);
        const lep3_link_stats_t now = stats();
        if (now.bytes_read >= bytes && std::memcmp(&now, &before, sizeof now) == 0 && queue_is_empty(&uart_queue))
            return now;
        before = now;
    }
    ADD_FAILURE() << "the link never went quiet";
    return before;
}

// Requests video in the format; the host takes frames at 15 fps as they come, and each
// must be the next the emulator sent, pixel for pixel, stamped with its own number.
void expect_consecutive_frames(uint32_t format, int count)
{
    ASSERT_EQ(format == 0 ? LEP3_GetRawVideo() : LEP3_GetRGBVideo(), 0);
    Frame f = take_frame();
    for (int i = 0; i < 5 && f.format != format; ++i)
        f = take_frame(); // frames of the old form may still be on their way
    std::vector<uint8_t> expected(57600);
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            const uint32_t last = f.number;
            f = take_frame();
            ASSERT_EQ(f.number, last + 1) << "a frame was lost or delivered twice";
        }
        ASSERT_EQ(f.format, format);
        ASSERT_EQ(f.size, format == 0 ? 38400U : 57600U);
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
// packets.
TEST(EndToEnd, RawAndRgbFramesArriveInOrderExactlyAsSent)
{
    LinkHarness link(at_fps(15));
    expect_consecutive_frames(0, 6);
    expect_consecutive_frames(1, 6);
    const lep3_link_stats_t clean = stats();
    lep3::sim::Faults faults;
    faults.split_writes = true;
    faults.garbage_between_packets = true;
    link.sim().set_faults(faults);
    expect_consecutive_frames(0, 6);
    expect_consecutive_frames(1, 6);
    const lep3_link_stats_t s = stats();
    const uint64_t frames = s.frames_raw + s.frames_rgb - clean.frames_raw - clean.frames_rgb;
    // At least one garbage byte before each of those frames, besides their check bytes.
    EXPECT_GT(s.bytes_dropped - clean.bytes_dropped, frames + frames / 2) << "garbage went unnoticed";
}

TEST(EndToEndStats, CountersMatchAStreamWithKnownFaults)
{
    lep3::link::set_reinit_routine([](void *) -> void * { return nullptr; });
    LinkHarness link(at_fps(0));
    std::vector<uint8_t> stream = {0x10, 0x20, 0x30};                              // 3 garbage bytes
    stream.insert(stream.end(), {0xAA, 0x55, 0x05, 0x02, 0x00, 0x07});             // type 7: abandoned
    stream.insert(stream.end(), {0xAA, 0x55, 0x03, 0x02, 0x00, 0x02, 0x11});       // no data: abandoned at 0x11
    stream.insert(stream.end(), {0xAA, 0x55, 0x40});                               // 61 data bytes: too long
    stream.insert(stream.end(), {0xAA, 0x55, 0x04, 0x04, 0x04, 0x02, 0x00, 0xC1}); // camera reset
    stream.insert(stream.end(), {0xAA, 0x55, 0x04, 0x02, 0x08, 0x02, 0x00, 0x31}); // a reply
    lep3_link_stats_t s{};
    const std::string out = lep3::test::stdout_of([&] {
        link.sim().send_raw(stream);
        s = settled_stats(stream.size());
    });
    EXPECT_NE(out.find("error10 7 \n"), std::string::npos);
    EXPECT_NE(out.find("error\n"), std::string::npos);
    EXPECT_EQ(s.bytes_read, stream.size());
    EXPECT_EQ(s.bytes_dropped, 5U) << "the garbage and the check bytes after the notice and the reply";
    EXPECT_EQ(s.replies_abandoned, 3U);
    EXPECT_EQ(s.reset_notices, 1U);
    EXPECT_EQ(s.replies_posted, 1U);
    EXPECT_EQ(s.read_failures, 0U);
    EXPECT_EQ(s.frames_raw + s.frames_rgb, 0U);
}

TEST(LinkLoops, FailedReadIsCountedAndIgnored)
{
    ASSERT_EQ(queue_init(&uart_queue, 16), 0);
    uart_fd = -1;
    lep3::link::read_pass();
    lep3::link::read_pass();
    EXPECT_EQ(stats().read_failures, 2U);
    EXPECT_EQ(stats().bytes_read, 0U);
    EXPECT_EQ(queue_is_empty(&uart_queue), 1);
    queue_clear(&uart_queue);
}

} // namespace
