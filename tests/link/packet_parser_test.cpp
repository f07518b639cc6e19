// The packet parser's state table byte by byte: each row, recovery from garbage, reply
// posting and its limits, abandoned replies, the over-long reply skipped whole, check bytes
// counted, and the reset notice, each with its counters. Frame assembly is checked end to end.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <tuple>

#include "link/helpers.h"

namespace {

using lep3::link::load_reply_state;
using lep3::link::ParserState;
using lep3::test::checked;
using lep3::test::reply_packet;
using lep3::test::stats;
using Bytes = std::vector<uint8_t>;

class ParserTest : public ::testing::Test {
  protected:
    static void feed(const Bytes &bytes, size_t from = 0, size_t to = SIZE_MAX)
    {
        for (size_t i = from; i < std::min(to, bytes.size()); ++i)
            lep3::link::parse_byte(bytes[i]);
    }
    static ParserState state() { return static_cast<ParserState>(parser_state); }
    static Bytes reply_data() { return {command_read.data, command_read.data + command_read.data_len}; }
};

// A frame packet needs the tag 04, and only modes 00 and FF start a frame.
TEST_F(ParserTest, SyncLengthTagAndModeRowsMoveThroughTheTable)
{
    using enum ParserState;
    // clang-format off
    const std::pair<Bytes, ParserState> steps[] = {
        {{0x00, 0x55, 0x12}, hunt}, {{0xAA}, sync}, {{0x55}, length}, {{0xFF}, frame_tag}, {{0x03}, hunt},
        {{0xAA, 0x55, 0xFF, 0x04}, mode}, {{0x01}, hunt}, {{0xAA, 0x55, 0xFF, 0x04, 0xFF}, rgb_data}};
    // clang-format on
    frame_assemble[2] = 77;
    for (const auto &[bytes, after] : steps) {
        feed(bytes);
        EXPECT_EQ(state(), after) << "after byte " << int(bytes.back());
    }
    EXPECT_EQ(frame_desc.size, 57600U);
    EXPECT_EQ(frame_assemble[2], 0) << "a frame start clears the assemble marker";
    parser_state = 0;
    feed({0xAA, 0x55, 0xFF, 0x04, 0x00});
    EXPECT_EQ(state(), ParserState::raw_data);
    EXPECT_EQ(frame_desc.size, 38400U);
    parser_state = 7; // outside the table: no row changes it
    feed({0xAA, 0x55, 0x00});
    EXPECT_EQ(parser_state, 7);
}

// AA AA 55 loses the packet (the second AA sends the parser hunting, so 55 is skipped);
// after garbage the parser takes the first whole packet.
TEST_F(ParserTest, HuntsThroughGarbageAndRepeatedSyncBytes)
{
    const auto packet = reply_packet(0x0204, 1, {0x00, 0x00});
    feed({0xAA});
    feed(packet);
    EXPECT_EQ(load_reply_state(), 0);
    EXPECT_EQ(state(), ParserState::hunt);
    EXPECT_EQ(stats().bytes_dropped, packet.size() + 1);
    feed({0x13, 0xAA, 0x13, 0x55, 0xFE, 0xAA, 0x00, 0x55});
    feed(packet);
    EXPECT_EQ(load_reply_state(), 2);
    EXPECT_EQ(command_read.command_id, 0x0204);
    EXPECT_EQ(stats().bytes_dropped, packet.size() + 1 + 9)
        << "8 garbage bytes and the check byte, which the hunt passes over";
    EXPECT_EQ(stats().replies_posted, 1U);
}

// Each reply is posted (state 2) only with its last data byte, after the record was
// cleared at its length byte; 48 data bytes is the largest that fits (49 is refused
// by the counter test of the whole link).
TEST_F(ParserTest, RepliesOfEachTypePostTheirDataWithTheLastByte)
{
    Bytes longest(48);
    std::iota(longest.begin(), longest.end(), 1);
    for (const auto &[id, type, data] :
         {std::tuple<uint16_t, uint8_t, Bytes>{0x0204, 1, {0x00, 0x00}}, {0x0208, 2, {0x00}}, {0x4803, 0, longest}}) {
        SCOPED_TRACE(id);
        command_read.command_id = 0x1111;
        command_read.data[47] = 0xEE;
        lep3::link::publish_reply_state(1);
        const auto packet = reply_packet(id, type, data);
        feed(packet, 0, 3);
        EXPECT_EQ(command_read.command_id, 0);
        EXPECT_EQ(command_read.data[47], 0);
        for (size_t i = 3; i + 2 < packet.size(); ++i) {
            lep3::link::parse_byte(packet[i]);
            ASSERT_EQ(load_reply_state(), 0) << "posted early, at byte " << i;
        }
        lep3::link::parse_byte(packet[packet.size() - 2]);
        EXPECT_EQ(load_reply_state(), 2);
        EXPECT_EQ(command_read.command_id, id);
        EXPECT_EQ(command_read.type, type);
        EXPECT_EQ(reply_data(), data);
    }
}

// A reply of a type above 2, or one whose length leaves no data, is abandoned at the
// byte that shows it, with a message; the hunt takes the next packet.
TEST_F(ParserTest, ReplyOfAnUnknownTypeOrWithoutDataIsAbandoned)
{
    const Bytes unknown_type{0xAA, 0x55, 0x05, 0x02, 0x00, 0x07}, no_data{0xAA, 0x55, 0x03, 0x02, 0x00, 0x02, 0x11};
    EXPECT_EQ(lep3::test::stdout_of([&] { feed(unknown_type), feed(no_data); }), "error10 7 \nerror\n");
    EXPECT_EQ(stats().replies_abandoned, 2U);
    feed(reply_packet(0x0208, 2, {0x00}));
    EXPECT_EQ(load_reply_state(), 2) << "the reply after them was lost";
}

// L above 51 announces more data than the record holds: the L body bytes are passed
// over unread, so a reply quoted in the body is no reply, and the record keeps what it
// had. The hunt resumes at the check byte, or earlier at a frame packet's start.
TEST_F(ParserTest, OverlongReplyIsSkippedWholeSoNothingInItsBodyPassesForAReply)
{
    command_read.command_id = 0x1111;
    lep3::link::publish_reply_state(1);
    Bytes packet{0xAA, 0x55, 52};
    packet.resize(3 + 52, 0x00);
    const Bytes quoted = reply_packet(0x0208, 2, {0x00});
    std::copy(quoted.begin(), quoted.end(), packet.begin() + 20);
    packet = checked(packet);
    feed(packet);
    EXPECT_EQ(std::make_tuple(load_reply_state(), command_read.command_id, state()),
              std::make_tuple(1, uint16_t{0x1111}, ParserState::hunt))
        << "a reply inside the skipped body was taken";
    const lep3_link_stats_t s = stats();
    EXPECT_EQ(std::vector<uint64_t>({s.replies_abandoned, s.bytes_dropped}), std::vector<uint64_t>({1, 52 + 1}));
    feed(quoted);
    EXPECT_EQ(load_reply_state(), 2) << "the packet after the skipped one is lost";

    // A sync pair that the hunt found in frame data (a host opening the port while the
    // bridge streams), with a large "length", must cost neither the next frame nor the
    // answer to the host's first request: a frame packet's start ends the skip, and so
    // does a third byte that is no reply type, which the hunt then takes itself.
    lep3::test::stdout_of([] { frame_queue_init(&frame_queue, 57600, 120, 160); });
    const Bytes frame = lep3::test::raw_frame_packet(std::vector<uint16_t>(19200, 8000));
    for (const Bytes &head : {Bytes{0xAA, 0x55, 200, 0x01, 0x02}, Bytes{0xAA, 0x55, 200, 0x01, 0x02, 0x00}}) {
        const uint64_t frames = stats().frames_raw;
        Bytes cut = head;
        cut.insert(cut.end(), frame.begin(), frame.end());
        feed(cut);
        EXPECT_EQ(stats().frames_raw, frames + 1) << "the frame inside the skipped length was lost";
    }
    frame_queue_free(&frame_queue);
    lep3::link::publish_reply_state(1);
    Bytes cut{0xAA, 0x55, 0xEF, 0xA0, 0x3C, 0x3D};
    const Bytes answer = reply_packet(0x0214, 0, {0x2A, 0x3B});
    cut.insert(cut.end(), answer.begin(), answer.end());
    feed(cut);
    EXPECT_EQ(std::make_tuple(load_reply_state(), command_read.command_id), std::make_tuple(2, uint16_t{0x0214}))
        << "the reply after a sync pair with a large length was lost";
}

// Every packet's check byte is compared with the CRC-8 of the bytes before it, and the
// mismatches counted for replies and frames apart. Nothing is refused for one: the reply
// is posted and the frame queued all the same. A check byte that is a sync byte is still
// the hunt's: it can start the next packet.
TEST_F(ParserTest, CheckByteMismatchesAreCountedForRepliesAndFramesAndRefuseNothing)
{
    const auto posted_after = [&](const Bytes &packet) {
        lep3::link::publish_reply_state(1);
        feed(packet);
        return load_reply_state() == 2;
    };
    Bytes reply = reply_packet(0x0204, 1, {0x00, 0x00});
    EXPECT_TRUE(posted_after(reply));
    reply.back() ^= 0x40;
    EXPECT_TRUE(posted_after(reply));
    Bytes notice = reply_packet(0x0404, 2, {0x00});
    notice.back() ^= 0x01;
    feed(notice);
    g_lepton_reset_flag = 0;
    uint8_t data = 0; // a reply whose check byte is 0xAA, with the rest of another behind it
    while (reply_packet(0x0204, 1, {data}).back() != 0xAA)
        ++data;
    Bytes joined = reply_packet(0x0204, 1, {data});
    const Bytes next = reply_packet(0x0208, 2, {0x00});
    joined.insert(joined.end(), next.begin() + 1, next.end());
    EXPECT_TRUE(posted_after(joined));
    EXPECT_EQ(command_read.command_id, 0x0208);
    EXPECT_EQ(stats().reply_check_errors, 2U);

    lep3::test::stdout_of([] { frame_queue_init(&frame_queue, 57600, 120, 160); });
    std::vector<uint16_t> pixels(19200, 8000);
    Bytes frame = lep3::test::raw_frame_packet(pixels);
    feed(frame);
    frame[5000] ^= 0x10; // a pixel byte
    feed(frame);
    const lep3_link_stats_t s = stats();
    EXPECT_EQ(std::vector<uint64_t>({s.frames_raw, s.frame_check_errors, s.reply_check_errors}),
              std::vector<uint64_t>({2, 1, 2}));
    frame_queue_free(&frame_queue);
}

std::atomic<int> reinit_runs{0};

TEST_F(ParserTest, ResetNoticeIsNotPostedAndStartsOneReinitialisation)
{
    lep3::link::set_reinit_routine([](void *) -> void * {
        reinit_runs.fetch_add(1);
        return nullptr;
    });
    lep3::link::publish_reply_state(1);
    feed({0xAA, 0x55, 0x04, 0x04, 0x04, 0x02, 0x00, 0x3D});
    EXPECT_EQ(std::make_tuple(g_lepton_reset_flag, stats().reset_notices), std::make_tuple(1, uint64_t{1}));
    EXPECT_EQ(load_reply_state(), 0) << "the notice clears the record and releases no transaction";
    for (int i = 0; i < 3; ++i)
        lep3::link::reset_check();
    EXPECT_EQ(g_lepton_reset_flag, 0);
    for (int i = 0; i < 5000 && reinit_runs.load() == 0; ++i)
        usleep(1000);
    usleep(20000); // room for a second, wrong, thread to show itself
    EXPECT_EQ(reinit_runs.load(), 1);
}

} // namespace
