// The frame queue's latest-frame delivery: the newest frame, never the same one twice,
// overwritten frames skipped, and no copy beyond a slot.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "link/link_internal.h"

namespace {

class FrameQueueTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ::testing::internal::CaptureStdout();
        ASSERT_EQ(frame_queue_init(&frame_queue, 57600, 120, 160), 0);
        fflush(stdout);
        init_output = ::testing::internal::GetCapturedStdout();
    }
    void TearDown() override { frame_queue_free(&frame_queue); }

    // Writes frame number n: a raw frame whose bytes all equal n.
    static void write_frame(uint32_t n, uint32_t format = 0)
    {
        const uint32_t size = format == 0 ? 38400 : 57600;
        std::vector<uint8_t> data(size, static_cast<uint8_t>(n));
        const frame_desc_t desc{0, format, 160, 120, size, n};
        ASSERT_EQ(LEP3_SendFrameToQueue(data.data(), &desc), 0);
    }

    static uint32_t read_frame()
    {
        uint8_t *slot = nullptr;
        frame_desc_t desc{};
        EXPECT_EQ(frame_dequeue(&frame_queue, &slot, &desc), 0);
        EXPECT_EQ(slot[0], static_cast<uint8_t>(desc.frame_number)) << "slot and descriptor disagree";
        return desc.frame_number;
    }

    static lep3_link_stats_t stats()
    {
        lep3_link_stats_t s{};
        LEP3_GetLinkStats(&s);
        return s;
    }

    std::string init_output;
};

TEST_F(FrameQueueTest, InitialisedQueueIsEmptyNeverFull)
{
    EXPECT_EQ(init_output, "frameQueue size:4\n");
    EXPECT_EQ(frame_queue_is_empty(&frame_queue), 1);
    EXPECT_EQ(frame_queue_is_full(&frame_queue), 0);
    EXPECT_EQ(frame_queue.capacity, 4);
    EXPECT_EQ(frame_queue.slot_desc[3].width, 160U);
    EXPECT_EQ(frame_queue.slot_desc[3].height, 120U);
}

TEST_F(FrameQueueTest, ReaderGetsTheNewestFrameThenWaitsForANewerOne)
{
    write_frame(1);
    write_frame(2);
    write_frame(3);
    EXPECT_EQ(read_frame(), 3U);

    std::atomic<uint32_t> got{0};
    std::thread reader([&] { got = read_frame(); });
    usleep(20000);
    EXPECT_EQ(got.load(), 0U) << "the same frame was delivered twice";
    write_frame(4);
    reader.join();
    EXPECT_EQ(got.load(), 4U);
}

TEST_F(FrameQueueTest, OverwrittenFramesAreSkippedAndCounted)
{
    for (uint32_t n = 1; n <= 6; ++n)
        write_frame(n);
    EXPECT_EQ(read_frame(), 6U);
    EXPECT_EQ(frame_queue.write_pos, 2);
    EXPECT_EQ(frame_queue.last_pos, 1);
    EXPECT_EQ(stats().frames_overwritten, 5U) << "frames 1 to 5 were superseded untaken";
    write_frame(7);
    EXPECT_EQ(stats().frames_overwritten, 5U) << "frame 6 was taken";
}

TEST_F(FrameQueueTest, ReadBeforeAnyWriteWaitsForTheFirst)
{
    std::atomic<uint32_t> got{0};
    std::thread reader([&] { got = read_frame(); });
    usleep(20000);
    EXPECT_EQ(got.load(), 0U);
    write_frame(1);
    reader.join();
    EXPECT_EQ(got.load(), 1U);
}

TEST_F(FrameQueueTest, HostCopyReportsTheDescriptorOfEachForm)
{
    std::vector<uint8_t> buffer(57600, 0xEE);
    uint32_t width = 0, height = 0, format = 9, size = 0, number = 0;

    write_frame(1, 0);
    ASSERT_EQ(LEP3_GetFrameFromQueue(buffer.data(), &width, &height, &format, &size, &number), 0);
    EXPECT_EQ(width, 160U);
    EXPECT_EQ(height, 120U);
    EXPECT_EQ(format, 0U);
    EXPECT_EQ(size, 38400U);
    EXPECT_EQ(number, 1U);
    EXPECT_EQ(buffer[38399], 1);
    EXPECT_EQ(buffer[38400], 0xEE) << "a raw frame copies 38 400 bytes, no more";

    write_frame(2, 1);
    ASSERT_EQ(LEP3_GetFrameFromQueue(buffer.data(), &width, &height, &format, &size, &number), 0);
    EXPECT_EQ(format, 1U);
    EXPECT_EQ(size, 57600U);
    EXPECT_EQ(buffer[57599], 2);
}

TEST_F(FrameQueueTest, FrameLargerThanItsSlotIsRefused)
{
    std::vector<uint8_t> data(57601, 1);
    const frame_desc_t desc{0, 1, 160, 120, 57601, 1};
    ::testing::internal::CaptureStdout();
    const int result = LEP3_SendFrameToQueue(data.data(), &desc);
    fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "LEP3 SendFrame error, frame queue is full!\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(frame_queue.last_pos, frame_queue.write_pos) << "a refused frame must not be published";

    frame_queue_t small{};
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(frame_queue_init(&small, 16, 120, 160), 0);
    fflush(stdout);
    ::testing::internal::GetCapturedStdout();
    const frame_desc_t fits{0, 0, 160, 120, 16, 1};
    const frame_desc_t too_big{0, 0, 160, 120, 17, 2};
    EXPECT_EQ(frame_enqueue(&small, data.data(), &fits), 0);
    EXPECT_EQ(frame_enqueue(&small, data.data(), &too_big), -1);
    frame_queue_free(&small);
}

TEST_F(FrameQueueTest, FreedQueueRefusesFramesAndForgetsSlots)
{
    write_frame(1);
    frame_queue_free(&frame_queue);
    for (uint8_t *slot : frame_queue.slot)
        EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(frame_queue.capacity, 0);
    std::vector<uint8_t> data(38400);
    const frame_desc_t desc{0, 0, 160, 120, 38400, 2};
    EXPECT_EQ(frame_enqueue(&frame_queue, data.data(), &desc), -1);
    ASSERT_EQ(frame_queue_init(&frame_queue, 57600, 120, 160), 0);
}

TEST_F(FrameQueueTest, ConcurrentReaderSeesOnlyRisingFrameNumbers)
{
    constexpr uint32_t kFrames = 200;
    std::thread writer([] {
        for (uint32_t n = 1; n <= kFrames; ++n) {
            write_frame(n);
            usleep(1000);
        }
    });
    uint32_t last = 0;
    std::vector<uint8_t> buffer(57600);
    while (last < kFrames) {
        uint32_t width, height, format, size, number;
        ASSERT_EQ(LEP3_GetFrameFromQueue(buffer.data(), &width, &height, &format, &size, &number), 0);
        ASSERT_GT(number, last);
        last = number;
    }
    writer.join();
}

} // namespace
