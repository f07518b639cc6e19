// The whole link against the bridge emulator: the library's own reader and parser
// loops, the emulator's frames arriving whole and in order, also when the emulator
// splits its writes and puts garbage between packets.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "link/link_internal.h"
#include "support/link_harness.h"

namespace {

using lep3::sim::BridgeSim;
using lep3::sim::Faults;
using lep3::sim::Options;
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

// After a switch of form, frames of the old form may still be on their way.
Frame take_frame_of(uint32_t format)
{
    for (int i = 0; i < 5; ++i) {
        Frame f = take_frame();
        if (f.format == format)
            return f;
    }
    ADD_FAILURE() << "no frame of format " << format << " arrived";
    return {};
}

Options at_fps(double fps)
{
    Options o;
    o.fps = fps;
    return o;
}

lep3_link_stats_t stats()
{
    lep3_link_stats_t s{};
    EXPECT_EQ(LEP3_GetLinkStats(&s), 0);
    return s;
}

bool same(const lep3_link_stats_t &a, const lep3_link_stats_t &b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Waits until at least `bytes` have been read, the emulator is quiet and the parser has
// taken every byte the reader got (the parser's own variables belong to its thread:
// only the counters are read here).
lep3_link_stats_t settled_stats(uint64_t bytes)
{
    lep3_link_stats_t before = stats();
    for (int i = 0; i < 400; ++i) {
        usleep(25000);
        const lep3_link_stats_t now = stats();
        if (now.bytes_read >= bytes && same(now, before) && queue_is_empty(&uart_queue) == 1)
            return now;
        before = now;
    }
    ADD_FAILURE() << "the link never went quiet";
    return before;
}

// The host takes frames at 15 fps as they come: each one must be the next the emulator
// sent, pixel for pixel.
void expect_consecutive_raw_frames(int count)
{
    ASSERT_EQ(LEP3_GetRawVideo(), 0);
    std::vector<uint16_t> expected(lep3::sim::kPixels);
    uint32_t last = 0;
    for (int i = 0; i < count; ++i) {
        const Frame f = i == 0 ? take_frame_of(0) : take_frame();
        ASSERT_EQ(f.format, 0U);
        ASSERT_EQ(f.size, 38400U);
        ASSERT_EQ(f.width, 160U);
        ASSERT_EQ(f.height, 120U);
        if (last != 0) {
            ASSERT_EQ(f.number, last + 1) << "a frame was lost or delivered twice";
        }
        last = f.number;
        const auto *pixels = reinterpret_cast<const uint16_t *>(f.bytes.data());
        const uint32_t stamp = BridgeSim::stamp_of_raw(pixels);
        ASSERT_EQ(stamp, f.number) << "library and emulator count frames differently";
        BridgeSim::raw_frame(stamp, expected.data());
        ASSERT_EQ(std::memcmp(pixels, expected.data(), 38400), 0) << "frame " << stamp << " differs";
    }
}

void expect_consecutive_rgb_frames(int count)
{
    ASSERT_EQ(LEP3_GetRGBVideo(), 0);
    std::vector<uint8_t> expected(57600);
    uint32_t last = 0;
    for (int i = 0; i < count; ++i) {
        const Frame f = i == 0 ? take_frame_of(1) : take_frame();
        ASSERT_EQ(f.format, 1U);
        ASSERT_EQ(f.size, 57600U);
        if (last != 0) {
            ASSERT_EQ(f.number, last + 1);
        }
        last = f.number;
        const uint32_t stamp = BridgeSim::stamp_of_rgb(f.bytes.data());
        ASSERT_EQ(stamp, f.number);
        BridgeSim::rgb_frame(stamp, expected.data());
        ASSERT_EQ(f.bytes, expected) << "frame " << stamp << " differs";
    }
}

TEST(EndToEnd, RawFramesArriveInOrderExactlyAsSent)
{
    LinkHarness link(at_fps(15));
    expect_consecutive_raw_frames(10);
}

TEST(EndToEnd, RgbFramesArriveInOrderExactlyAsSent)
{
    LinkHarness link(at_fps(15));
    expect_consecutive_rgb_frames(10);
}

TEST(EndToEnd, FramesSurviveSplitWritesAndGarbage)
{
    LinkHarness link(at_fps(15));
    Faults faults;
    faults.split_writes = true;
    faults.garbage_between_packets = true;
    link.sim().set_faults(faults);
    expect_consecutive_raw_frames(6);
    expect_consecutive_rgb_frames(6);
    EXPECT_GT(stats().bytes_dropped, 16U) << "garbage went unnoticed";
}

TEST(EndToEnd, CorruptedFrameIsQueuedAsReceived)
{
    LinkHarness link(at_fps(15));
    Faults faults;
    faults.corrupt_frame_every = 3;
    link.sim().set_faults(faults);
    ASSERT_EQ(LEP3_GetRawVideo(), 0);
    std::vector<uint16_t> expected(lep3::sim::kPixels);
    int corrupted = 0;
    for (int i = 0; i < 7; ++i) {
        const Frame f = take_frame();
        const auto *pixels = reinterpret_cast<const uint16_t *>(f.bytes.data());
        BridgeSim::raw_frame(f.number, expected.data());
        const bool same = std::memcmp(pixels, expected.data(), 38400) == 0;
        EXPECT_EQ(same, f.number % 3 != 0) << "frame " << f.number;
        corrupted += same ? 0 : 1;
    }
    EXPECT_GE(corrupted, 2);
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
    ::testing::internal::CaptureStdout();
    link.sim().send_raw(stream);
    const lep3_link_stats_t s = settled_stats(stream.size());
    fflush(stdout);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("error10 7 \n"), std::string::npos);
    EXPECT_NE(out.find("error\n"), std::string::npos);
    EXPECT_EQ(s.bytes_read, stream.size());
    // Garbage 3, the two check bytes after the reset notice and the reply.
    EXPECT_EQ(s.bytes_dropped, 5U);
    EXPECT_EQ(s.replies_abandoned, 3U);
    EXPECT_EQ(s.reset_notices, 1U);
    EXPECT_EQ(s.replies_posted, 1U);
    EXPECT_EQ(s.read_failures, 0U);
    EXPECT_EQ(s.frames_raw + s.frames_rgb, 0U);
}

TEST(EndToEndStats, FramesNobodyTookAreCountedAsOverwritten)
{
    LinkHarness link(at_fps(0));
    ASSERT_EQ(LEP3_GetRawVideo(), 0);
    while (stats().frames_raw < 6)
        usleep(1000);
    Faults faults;
    faults.silent = true;
    link.sim().set_faults(faults);
    const lep3_link_stats_t s = settled_stats(1);
    EXPECT_EQ(s.frames_overwritten, s.frames_raw - 1) << "all but the newest frame went untaken";
    EXPECT_EQ(s.bytes_read, s.frames_raw * (5 + 39360 + 1)) << "frames were cut or extra bytes arrived";
    EXPECT_EQ(s.bytes_dropped, s.frames_raw) << "only each frame's check byte is passed over";

    const Frame f = take_frame();
    EXPECT_EQ(f.number, static_cast<uint32_t>(s.frames_raw)) << "the host gets the newest frame";
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
