// The packet parser's state table byte by byte: each row, recovery from garbage, reply
// posting and its limits, the reset notice, and frame assembly.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <initializer_list>
#include <span>
#include <vector>

#include "link/helpers.h"

namespace {

using lep3::link::load_reply_state;
using lep3::link::ParserState;
using lep3::link::publish_reply_state;
using lep3::test::reply_packet;

class ParserTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(frame_queue_init(&frame_queue, 57600, 120, 160), 0); }
    void TearDown() override { frame_queue_free(&frame_queue); }

    static void feed(std::span<const uint8_t> bytes)
    {
        for (uint8_t b : bytes)
            lep3::link::parse_byte(b);
    }
    static void feed(std::initializer_list<uint8_t> bytes) { feed(std::span(bytes.begin(), bytes.size())); }
    static ParserState state() { return static_cast<ParserState>(parser_state); }
    static std::vector<uint8_t> reply_data() { return {command_read.data, command_read.data + command_read.data_len}; }

    static lep3_link_stats_t stats()
    {
        lep3_link_stats_t s{};
        LEP3_GetLinkStats(&s);
        return s;
    }
    static std::vector<uint8_t> take_frame(frame_desc_t &desc)
    {
        uint8_t *slot = nullptr;
        frame_dequeue(&frame_queue, &slot, &desc);
        return {slot, slot + desc.size};
    }
};

TEST_F(ParserTest, SyncLengthTagAndModeRowsMoveThroughTheTable)
{
    feed({0x00, 0x55, 0x12});
    EXPECT_EQ(state(), ParserState::hunt);
    feed({0xAA});
    EXPECT_EQ(state(), ParserState::sync);
    feed({0x55});
    EXPECT_EQ(state(), ParserState::length);
    feed({0xFF});
    EXPECT_EQ(state(), ParserState::frame_tag);
    feed({0x03});
    EXPECT_EQ(state(), ParserState::hunt) << "a frame packet needs the tag 04";
    feed({0xAA, 0x55, 0xFF, 0x04});
    EXPECT_EQ(state(), ParserState::mode);
    feed({0x01});
    EXPECT_EQ(state(), ParserState::hunt) << "only modes 00 and FF start a frame";
    feed({0xAA, 0x55, 0xFF, 0x04, 0x00});
    EXPECT_EQ(state(), ParserState::raw_data);
    EXPECT_EQ(frame_desc.size, 38400U);
    parser_state = 0;
    frame_assemble[2] = 77;
    feed({0xAA, 0x55, 0xFF, 0x04, 0xFF});
    EXPECT_EQ(state(), ParserState::rgb_data);
    EXPECT_EQ(frame_desc.format, 1U);
    EXPECT_EQ(frame_desc.size, 57600U);
    EXPECT_EQ(frame_assemble[2], 0) << "a frame start clears the assemble marker";
    parser_state = 7; // outside the table: no row changes it
    feed({0xAA, 0x55, 0x00});
    EXPECT_EQ(parser_state, 7);
}

// AA AA 55 loses the packet (the second AA sends the parser hunting, so 55 is skipped);
// after garbage the parser takes the first whole packet.
TEST_F(ParserTest, HuntsThroughGarbageAndRepeatedSyncBytes)
{
    const uint8_t data[] = {0x00, 0x00};
    const auto packet = reply_packet(0x0204, 1, data);
    std::vector<uint8_t> stream = {0xAA};
    stream.insert(stream.end(), packet.begin(), packet.end());
    feed(stream);
    EXPECT_EQ(load_reply_state(), 0);
    EXPECT_EQ(state(), ParserState::hunt);
    EXPECT_EQ(stats().bytes_dropped, stream.size());

    stream = {0x13, 0xAA, 0x13, 0x55, 0xFE, 0xAA, 0x00, 0x55};
    stream.insert(stream.end(), packet.begin(), packet.end());
    feed(stream);
    EXPECT_EQ(load_reply_state(), 2);
    EXPECT_EQ(command_read.command_id, 0x0204);
    EXPECT_EQ(stats().bytes_dropped, packet.size() + 1 + 9) << "8 garbage bytes and the unverified check byte";
    EXPECT_EQ(stats().replies_posted, 1U);
}

// Each reply is posted (state 2) only with its last data byte, after the record was
// cleared at its length byte.
TEST_F(ParserTest, RepliesOfEachTypePostTheirDataWithTheLastByte)
{
    std::vector<uint8_t> longest(48);
    for (size_t i = 0; i < longest.size(); ++i)
        longest[i] = static_cast<uint8_t>(i + 1);
    const struct {
        uint16_t id;
        uint8_t type;
        std::vector<uint8_t> data;
    } replies[] = {{0x0204, 1, {0x00, 0x00}}, {0x0208, 2, {0x00}}, {0x4803, 0, longest}};
    for (const auto &r : replies) {
        SCOPED_TRACE(r.id);
        command_read.command_id = 0x1111;
        command_read.data[47] = 0xEE;
        publish_reply_state(1);
        const auto packet = reply_packet(r.id, r.type, r.data);
        feed(std::span(packet).first(3));
        EXPECT_EQ(command_read.command_id, 0);
        EXPECT_EQ(command_read.data[47], 0);
        for (size_t i = 3; i + 2 < packet.size(); ++i) {
            lep3::link::parse_byte(packet[i]);
            ASSERT_EQ(load_reply_state(), 0) << "posted early, at byte " << i;
        }
        lep3::link::parse_byte(packet[packet.size() - 2]);
        EXPECT_EQ(load_reply_state(), 2);
        EXPECT_EQ(command_read.command_id, r.id);
        EXPECT_EQ(command_read.type, r.type);
        EXPECT_EQ(reply_data(), r.data);
    }
}

// 49 data bytes do not fit the record: the packet is dropped at its length byte and the
// parser hunts through the rest, where a real reply is still found.
TEST_F(ParserTest, OverlongReplyIsDroppedWithoutTouchingTheRecord)
{
    command_read.command_id = 0x0214;
    publish_reply_state(1);
    std::vector<uint8_t> data(49, 0x77);
    const uint8_t inner_data[] = {0x2B, 0x73};
    const auto inner = reply_packet(0x0214, 0, inner_data);
    std::copy(inner.begin(), inner.end(), data.begin() + 20);
    const auto packet = reply_packet(0x0999, 0, data);
    feed(std::span(packet).first(3));
    EXPECT_EQ(state(), ParserState::hunt);
    EXPECT_EQ(command_read.command_id, 0x0214);
    EXPECT_EQ(load_reply_state(), 1);
    EXPECT_EQ(stats().replies_abandoned, 1U);
    feed(std::span(packet).subspan(3));
    EXPECT_EQ(load_reply_state(), 2);
    EXPECT_EQ(reply_data(), std::vector<uint8_t>(inner_data, inner_data + 2));
    EXPECT_EQ(command_read.data[2], 0) << "nothing beyond the reply's own bytes";
}

std::atomic<int> reinit_runs{0};

TEST_F(ParserTest, ResetNoticeIsNotPostedAndStartsOneReinitialisation)
{
    lep3::link::set_reinit_routine([](void *) -> void * {
        reinit_runs.fetch_add(1);
        return nullptr;
    });
    publish_reply_state(1);
    feed({0xAA, 0x55, 0x04, 0x04, 0x04, 0x02, 0x00, 0x3D});
    EXPECT_EQ(g_lepton_reset_flag, 1);
    EXPECT_EQ(load_reply_state(), 0) << "the notice clears the record and releases no transaction";
    for (int i = 0; i < 3; ++i)
        lep3::link::reset_check();
    EXPECT_EQ(g_lepton_reset_flag, 0);
    for (int i = 0; i < 5000 && reinit_runs.load() == 0; ++i)
        usleep(1000);
    usleep(20000); // room for a second, wrong, thread to show itself
    EXPECT_EQ(reinit_runs.load(), 1);
}

// Pixel data full of AA 55 pairs; raw and RGB frames share one frame counter.
TEST_F(ParserTest, FramesOfBothFormsAreTakenWholeAndNumberedInTurn)
{
    const auto pixels = lep3::test::patterned_raw(3);
    const auto rgb = lep3::test::patterned_rgb(9);
    const auto raw_packet = lep3::test::raw_frame_packet(pixels);
    frame_desc_t desc{};
    feed(raw_packet);
    feed(raw_packet);
    std::vector<uint8_t> got = take_frame(desc);
    EXPECT_EQ(desc.frame_number, 2U);
    EXPECT_EQ(desc.format, 0U);
    ASSERT_EQ(got.size(), 38400U);
    EXPECT_EQ(std::memcmp(got.data(), pixels.data(), got.size()), 0) << "pixels are sent high byte first";

    feed(lep3::test::frame_packet(0xFF, rgb));
    got = take_frame(desc);
    EXPECT_EQ(desc.frame_number, 3U);
    EXPECT_EQ(desc.format, 1U);
    EXPECT_EQ(got, rgb) << "packet heads dropped, byte order kept";

    const lep3_link_stats_t s = stats();
    EXPECT_EQ(s.frames_raw, 2U);
    EXPECT_EQ(s.frames_rgb, 1U);
    EXPECT_EQ(s.bytes_dropped, 3U) << "only the check bytes are passed over";
}

} // namespace
