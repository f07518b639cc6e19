// The whole link against the bridge emulator: frames arriving whole and in order, also
// under split writes and garbage, and the link counters checked against streams whose
// faults are known.

#include <unistd.h>

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
            lep3::sim::Faults faults;
            faults.split_writes = faults.garbage_between_packets = true;
            link.sim().set_faults(faults);
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

TEST(EndToEndStats, CountersMatchAStreamWithKnownFaults)
{
    lep3::link::set_reinit_routine([](void *) -> void * { return nullptr; });
    lep3::sim::Options options;
    options.fps = 0;
    LinkHarness link(options);
    using Bytes = std::vector<uint8_t>;
    using lep3::test::checked;
    Bytes overlong{0xAA, 0x55, 0x34}; // 49 data bytes, one too many: its 52 body bytes are passed over
    overlong.resize(3 + 52, 0x00);
    const Bytes quoted = checked({0xAA, 0x55, 0x04, 0x02, 0x08, 0x02, 0x00});
    std::copy(quoted.begin(), quoted.end(), overlong.begin() + 9);
    Bytes bad_check = checked({0xAA, 0x55, 0x04, 0x02, 0x08, 0x02, 0x00});
    bad_check.back() ^= 0x80;
    const std::vector<uint16_t> pixels(19200, 7777);
    const Bytes frame = lep3::test::raw_frame_packet(pixels);
    ASSERT_NE(frame.back(), 0xAA) << "a check byte that is a sync byte would take the next packet's";
    Bytes corrupted = frame;
    corrupted[1000] ^= 0x01;
    const std::vector<Bytes> pieces = {
        {0x10, 0x20, 0x30},                                  // 3 garbage bytes
        {0xAA, 0x55, 0x05, 0x02, 0x00, 0x07},                // type 7: abandoned
        {0xAA, 0x55, 0x03, 0x02, 0x00, 0x02, 0x11},          // no data: abandoned at 0x11
        checked(overlong),                                   // abandoned, skipped whole
        checked({0xAA, 0x55, 0x04, 0x04, 0x04, 0x02, 0x00}), // camera reset
        bad_check,                                           // a reply, posted despite its check byte
        frame,
        corrupted, // queued all the same
    };
    Bytes stream;
    for (const Bytes &piece : pieces)
        stream.insert(stream.end(), piece.begin(), piece.end());
    lep3_link_stats_t s{};
    const std::string out = lep3::test::stdout_of([&] {
        link.sim().send_raw(stream);
        // Until every byte was read, the counters stand still and the parser has taken all.
        lep3_link_stats_t before = stats();
        for (int i = 0; i < 400; ++i, before = s) {
            usleep(25000);
            s = stats();
            if (s.bytes_read >= stream.size() && std::memcmp(&s, &before, sizeof s) == 0 && queue_is_empty(&uart_queue))
                break;
        }
    });
    EXPECT_NE(out.find("error10 7 \n"), std::string::npos);
    EXPECT_NE(out.find("error\n"), std::string::npos);
    EXPECT_EQ(std::vector<uint64_t>({s.bytes_read, s.bytes_dropped, s.replies_abandoned, s.reset_notices,
                                     s.replies_posted, s.reply_check_errors, s.frames_raw, s.frame_check_errors,
                                     s.read_failures, s.empty_reads, s.queue_full_episodes}),
              std::vector<uint64_t>({stream.size(), 3 + 53 + 4, 3, 1, 1, 1, 2, 1, 0, 0, 0}))
        << "dropped: the garbage, the skipped body and its check byte, and the four check bytes after";
}

} // namespace
