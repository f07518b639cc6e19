// The packet parser's state table, byte by byte: what each row does, how the parser
// recovers from garbage, how replies are posted and how frames are assembled.
#include <gtest/gtest.h>

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "link/link_internal.h"
#include "link/packets.h"

namespace {

using lep3::link::ParserState;
using lep3::test::patterned_raw;
using lep3::test::patterned_rgb;
using lep3::test::raw_frame_packet;
using lep3::test::reply_packet;
using lep3::test::rgb_frame_packet;

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

    // Feeds bytes and returns what they printed.
    template <typename Bytes> static std::string printed(const Bytes &bytes)
    {
        ::testing::internal::CaptureStdout();
        feed(bytes);
        fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }
    static std::string printed(std::initializer_list<uint8_t> bytes) { return printed(std::vector<uint8_t>(bytes)); }

    static ParserState state() { return static_cast<ParserState>(parser_state); }

    static lep3_link_stats_t stats()
    {
        lep3_link_stats_t s{};
        EXPECT_EQ(LEP3_GetLinkStats(&s), 0);
        return s;
    }

    static frame_desc_t take_frame(std::vector<uint8_t> &out)
    {
        uint8_t *slot = nullptr;
        frame_desc_t desc{};
        frame_dequeue(&frame_queue, &slot, &desc);
        out.assign(slot, slot + desc.size);
        return desc;
    }
};

TEST_F(ParserTest, SyncAndLengthRowsMoveThroughTheTable)
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
    EXPECT_EQ(frame_desc.format, 0U);
    EXPECT_EQ(frame_desc.size, 38400U);
    EXPECT_EQ(image_buffer_index, 0);
}

TEST_F(ParserTest, RgbModeStartsAnRgbFrameAndClearsTheAssembleMarker)
{
    frame_assemble[2] = 77;
    feed({0xAA, 0x55, 0xFF, 0x04, 0xFF});
    EXPECT_EQ(state(), ParserState::rgb_data);
    EXPECT_EQ(frame_desc.format, 1U);
    EXPECT_EQ(frame_desc.size, 57600U);
    EXPECT_EQ(frame_assemble[2], 0);
}

TEST_F(ParserTest, SecondSyncByteInARowLosesThePacket)
{
    // AA AA 55: the second AA sends the parser back to hunting, so 55 is skipped.
    const uint8_t ok[] = {0};
    auto packet = reply_packet(0x0208, 2, ok);
    packet.insert(packet.begin(), 0xAA);
    printed(packet);
    EXPECT_EQ(lep3::link::load_reply_state(), 0);
    EXPECT_EQ(command_read.command_id, 0);
    EXPECT_EQ(state(), ParserState::hunt);
    // Everything was dropped: AA AA (2), then 55 and the other five bytes one by one.
    EXPECT_EQ(stats().bytes_dropped, packet.size());
}

TEST_F(ParserTest, ResynchronisesOnTheFirstPacketAfterGarbage)
{
    std::vector<uint8_t> stream = {0x13, 0xAA, 0x13, 0x55, 0xFE, 0xAA, 0x00, 0x55};
    const uint8_t data[] = {0x00, 0x00};
    const auto packet = reply_packet(0x0204, 1, data);
    stream.insert(stream.end(), packet.begin(), packet.end());
    feed(stream);
    EXPECT_EQ(lep3::link::load_reply_state(), 2);
    EXPECT_EQ(command_read.command_id, 0x0204);
    EXPECT_EQ(command_read.data_len, 2);
    // 8 garbage bytes plus the reply's check byte, which the parser never verifies.
    EXPECT_EQ(stats().bytes_dropped, 9U);
    EXPECT_EQ(stats().replies_posted, 1U);
}

TEST_F(ParserTest, SetReplyPostsDataAndStateTwo)
{
    feed({0xAA, 0x55, 0x05, 0x02, 0x04, 0x01, 0x00, 0x00, 0x9C});
    EXPECT_EQ(command_read.command_id, 0x0204);
    EXPECT_EQ(command_read.type, 1);
    EXPECT_EQ(command_read.data_len, 2);
    EXPECT_EQ(command_read.data[0], 0);
    EXPECT_EQ(command_read.data[1], 0);
    EXPECT_EQ(lep3::link::load_reply_state(), 2);
    EXPECT_EQ(state(), ParserState::hunt);
    EXPECT_EQ(switch_count, 0);
    EXPECT_EQ(command_buffer_index, 0);
}

TEST_F(ParserTest, RunReplyCarriesOneStatusByte)
{
    feed({0xAA, 0x55, 0x04, 0x02, 0x08, 0x02, 0x00, 0x31});
    EXPECT_EQ(command_read.command_id, 0x0208);
    EXPECT_EQ(command_read.type, 2);
    EXPECT_EQ(command_read.data_len, 1);
    EXPECT_EQ(command_read.data[0], 0);
    EXPECT_EQ(lep3::link::load_reply_state(), 2);
}

TEST_F(ParserTest, ReplyIsPublishedOnlyWithItsLastDataByte)
{
    // A transaction primes the record; the reply's length byte clears it, and state 2
    // appears only once every data byte is in place.
    command_read.command_id = 0x4E48;
    command_read.type = 0;
    lep3::link::publish_reply_state(1);
    std::memset(command_read.data, 0xEE, sizeof command_read.data);

    const std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8};
    const auto packet = reply_packet(0x4E48, 0, data);
    feed(std::span(packet).first(3));
    EXPECT_EQ(lep3::link::load_reply_state(), 0);
    EXPECT_EQ(command_read.command_id, 0);
    EXPECT_EQ(command_read.data[47], 0) << "the whole record is cleared when a reply starts";

    for (size_t i = 3; i + 2 < packet.size(); ++i) {
        lep3::link::parse_byte(packet[i]);
        EXPECT_EQ(lep3::link::load_reply_state(), 0) << "posted early, at byte " << i;
        EXPECT_EQ(command_read.data_len, 0);
    }
    lep3::link::parse_byte(packet[packet.size() - 2]);
    EXPECT_EQ(lep3::link::load_reply_state(), 2);
    EXPECT_EQ(command_read.data_len, 8);
    EXPECT_EQ(std::vector<uint8_t>(command_read.data, command_read.data + 8), data);
}

TEST_F(ParserTest, ReplyFieldsAreVisibleToTheThreadThatSeesStateTwo)
{
    // The waiting side reads the record only after an acquire load of state 2; run many
    // replies through a parser thread while this thread checks each one whole.
    constexpr int kReplies = 2000;
    std::atomic<int> acknowledged{0};
    std::thread parser([&] {
        for (int i = 0; i < kReplies; ++i) {
            const uint8_t data[] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(~i)};
            const auto packet = reply_packet(static_cast<uint16_t>(0x0100 + (i & 0xFF)), 0, data);
            feed(packet);
            while (acknowledged.load(std::memory_order_acquire) <= i)
                std::this_thread::yield();
        }
    });
    for (int i = 0; i < kReplies; ++i) {
        while (lep3::link::load_reply_state() != 2)
            std::this_thread::yield();
        ASSERT_EQ(command_read.command_id, 0x0100 + (i & 0xFF));
        ASSERT_EQ(command_read.data_len, 3);
        ASSERT_EQ(command_read.data[0], static_cast<uint8_t>(i));
        ASSERT_EQ(command_read.data[1], static_cast<uint8_t>(i >> 8));
        ASSERT_EQ(command_read.data[2], static_cast<uint8_t>(~i));
        lep3::link::publish_reply_state(1);
        acknowledged.store(i + 1, std::memory_order_release);
    }
    parser.join();
}

TEST_F(ParserTest, TypeAboveTwoIsReportedAndAbandoned)
{
    const std::string out = printed({0xAA, 0x55, 0x05, 0x02, 0x00, 0x03, 0x11, 0x22, 0x33});
    EXPECT_EQ(out, "error10 3 \n");
    EXPECT_EQ(lep3::link::load_reply_state(), 0);
    EXPECT_EQ(state(), ParserState::hunt);
    EXPECT_EQ(stats().replies_abandoned, 1U);
    EXPECT_EQ(stats().replies_posted, 0U);
}

TEST_F(ParserTest, ReplyWithoutDataBytesIsAbandonedWithError)
{
    const std::string out = printed({0xAA, 0x55, 0x03, 0x02, 0x00, 0x02, 0x42});
    EXPECT_EQ(out, "error\n");
    EXPECT_EQ(lep3::link::load_reply_state(), 0);
    EXPECT_EQ(state(), ParserState::hunt);
    EXPECT_EQ(stats().replies_abandoned, 1U);
}

TEST_F(ParserTest, OverlongReplyIsDroppedWithoutTouchingTheRecord)
{
    // 49 data bytes do not fit the record: the packet is dropped at its length byte and
    // the parser hunts through the rest, where a real reply is still found.
    command_read.command_id = 0x0214;
    lep3::link::publish_reply_state(1);
    std::vector<uint8_t> data(49, 0x77);
    const uint8_t inner_data[] = {0x2B, 0x73};
    const auto inner = reply_packet(0x0214, 0, inner_data);
    std::copy(inner.begin(), inner.end(), data.begin() + 20);
    const auto packet = reply_packet(0x0999, 0, data);

    feed(std::span(packet).first(3));
    EXPECT_EQ(state(), ParserState::hunt);
    EXPECT_EQ(command_read.command_id, 0x0214);
    EXPECT_EQ(lep3::link::load_reply_state(), 1);
    EXPECT_EQ(stats().replies_abandoned, 1U);

    feed(std::span(packet).subspan(3));
    EXPECT_EQ(lep3::link::load_reply_state(), 2);
    EXPECT_EQ(command_read.command_id, 0x0214);
    EXPECT_EQ(command_read.data_len, 2);
    EXPECT_EQ(command_read.data[2], 0) << "nothing beyond the reply's own bytes";
}

TEST_F(ParserTest, LongestReplyThatFitsFillsAll48DataBytes)
{
    std::vector<uint8_t> data(48);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i + 1);
    feed(reply_packet(0x4803, 0, data));
    EXPECT_EQ(lep3::link::load_reply_state(), 2);
    EXPECT_EQ(command_read.data_len, 48);
    EXPECT_EQ(std::vector<uint8_t>(command_read.data, command_read.data + 48), data);
}

TEST_F(ParserTest, StatesOutsideTheTableKeepTheirValue)
{
    parser_state = 7;
    feed({0xAA, 0x55});
    EXPECT_EQ(parser_state, 7);
    parser_state = 8;
    feed({0x00});
    EXPECT_EQ(parser_state, 8);
}

TEST_F(ParserTest, ResetNoticeRaisesTheFlagAndReleasesNoTransaction)
{
    lep3::link::publish_reply_state(1);
    feed({0xAA, 0x55, 0x04, 0x04, 0x04, 0x02, 0x00, 0x3D});
    EXPECT_EQ(g_lepton_reset_flag, 1);
    EXPECT_EQ(lep3::link::load_reply_state(), 0) << "the notice clears the record and is not posted";
    EXPECT_EQ(command_read.data_len, 1);
    EXPECT_EQ(stats().reset_notices, 1U);
    EXPECT_EQ(stats().replies_posted, 0U);
}

std::atomic<int> reinit_runs{0};
void *count_reinit(void *)
{
    reinit_runs.fetch_add(1);
    return nullptr;
}

TEST_F(ParserTest, ResetNoticeStartsExactlyOneReinitialisationThread)
{
    lep3::link::set_reinit_routine(count_reinit);
    for (uint8_t b : {0xAA, 0x55, 0x04, 0x04, 0x04, 0x02, 0x00, 0x3D, 0x00, 0x12}) {
        lep3::link::parse_byte(b);
        lep3::link::reset_check();
    }
    EXPECT_EQ(g_lepton_reset_flag, 0);
    for (int i = 0; i < 5000 && reinit_runs.load() == 0; ++i)
        usleep(1000);
    usleep(20000); // room for a second, wrong, thread to show itself
    EXPECT_EQ(reinit_runs.load(), 1);

    // A 1 written by anyone else starts the thread the same way.
    g_lepton_reset_flag = 1;
    lep3::link::reset_check();
    for (int i = 0; i < 5000 && reinit_runs.load() == 1; ++i)
        usleep(1000);
    EXPECT_EQ(reinit_runs.load(), 2);
}

TEST_F(ParserTest, RawFrameAssemblesPixelsHighByteFirst)
{
    std::vector<uint16_t> pixels(19200, 0x1234);
    pixels[0] = 0x0102;
    pixels[1] = 0x0304;
    feed(raw_frame_packet(pixels));
    EXPECT_EQ(lepton_image[0], 258);
    EXPECT_EQ(lepton_image[1], 772);
    EXPECT_EQ(parser_i, 240);
    EXPECT_EQ(parser_j, 38400);
    EXPECT_EQ(frame_desc.frame_number, 1U);
}

TEST_F(ParserTest, RawFrameWithSyncBytesInItsDataIsTakenWhole)
{
    const auto pixels = patterned_raw(3);
    const auto packet = raw_frame_packet(pixels);
    feed(packet);
    feed(packet);
    std::vector<uint8_t> got;
    const frame_desc_t desc = take_frame(got);
    EXPECT_EQ(desc.frame_number, 2U) << "the frame number rises by exactly one per frame";
    EXPECT_EQ(desc.format, 0U);
    EXPECT_EQ(desc.size, 38400U);
    ASSERT_EQ(got.size(), 38400U);
    EXPECT_EQ(std::memcmp(got.data(), pixels.data(), got.size()), 0);
    EXPECT_EQ(stats().frames_raw, 2U);
    EXPECT_EQ(stats().bytes_dropped, 2U) << "only the two check bytes are passed over";
}

TEST_F(ParserTest, RgbFrameDropsPacketHeadsAndKeepsByteOrder)
{
    const auto rgb = patterned_rgb(9);
    feed(rgb_frame_packet(rgb));
    std::vector<uint8_t> got;
    const frame_desc_t desc = take_frame(got);
    EXPECT_EQ(desc.format, 1U);
    EXPECT_EQ(desc.size, 57600U);
    EXPECT_EQ(desc.frame_number, 1U);
    EXPECT_EQ(got, rgb);
    EXPECT_EQ(parser_i, 240);
    EXPECT_EQ(parser_j, 0) << "an RGB frame leaves parser_j alone";
    EXPECT_EQ(stats().frames_rgb, 1U);
}

TEST_F(ParserTest, RawAndRgbFramesShareOneFrameCounter)
{
    feed(raw_frame_packet(patterned_raw(1)));
    feed(rgb_frame_packet(patterned_rgb(1)));
    feed(raw_frame_packet(patterned_raw(2)));
    EXPECT_EQ(frame_desc.frame_number, 3U);
}

TEST_F(ParserTest, FrameDataIndexPastThePacketDropsBytesInPlace)
{
    // A corrupted index (only a debugger or a host could set it) must not make the
    // parser write beyond image_buffer.
    feed({0xAA, 0x55, 0xFF, 0x04, 0x00});
    image_buffer_index = 39360;
    const uint8_t sentinel = image_buffer[39359];
    feed({0x01, 0x02, 0x03});
    EXPECT_EQ(state(), ParserState::raw_data);
    EXPECT_EQ(image_buffer_index, 39360);
    EXPECT_EQ(image_buffer[39359], sentinel);
}

} // namespace
