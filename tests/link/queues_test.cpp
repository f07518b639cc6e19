// The byte ring queue (order across wrap-around, waiting on an empty or cleared queue,
// the full queue, a producer racing a consumer) and the frame queue's latest-frame
// delivery (the newest frame, never one twice, overwritten frames skipped and counted,
// no copy beyond a slot).
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "link/helpers.h"

namespace {

using lep3::test::stdout_of;

class ByteQueueTest : public ::testing::Test {
  protected:
    void TearDown() override { queue_clear(&q); }
    cir_queue_t q{};
};

TEST_F(ByteQueueTest, WrapAroundKeepsOrder)
{
    ASSERT_EQ(queue_init(&q, 4), 0);
    const uint8_t first[] = {1, 2, 3, 4};
    enqueue_multi(&q, first, 4);
    EXPECT_EQ(queue_is_full(&q), 1);
    uint8_t out[4] = {};
    EXPECT_EQ(dequeue_multi(&q, out, 2), 2);
    enqueue_single(&q, 5);
    enqueue_single(&q, 6);
    EXPECT_EQ(dequeue_multi(&q, out + 2, 2), 2);
    EXPECT_EQ(dequeue_single(&q), 5);
    EXPECT_EQ(dequeue_single(&q), 6);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST_F(ByteQueueTest, BadLengthsAndNullDestinationChangeNothing)
{
    ASSERT_EQ(queue_init(&q, 8), 0);
    const uint8_t in[] = {1};
    enqueue_multi(&q, in, 0);
    enqueue_multi(&q, in, -5);
    EXPECT_EQ(q.count, 0);
    uint8_t out[1] = {};
    EXPECT_EQ(dequeue_multi(&q, out, 0), 0);
    EXPECT_EQ(dequeue_multi(&q, out, -3), -3);
    int32_t n = 0;
    EXPECT_EQ(stdout_of([&] { n = dequeue_multi(&q, nullptr, 4); }), "Source point of dequeue_multi() is NULL! \n");
    EXPECT_EQ(n, -1);
}

// The reader waits on an empty queue, and on a cleared one until it is set up again (the
// parser loop waits across a firmware update that way).
TEST_F(ByteQueueTest, ReaderWaitsOnEmptyAndOnClearedQueue)
{
    for (bool cleared : {false, true}) {
        SCOPED_TRACE(cleared ? "cleared" : "empty");
        ASSERT_EQ(queue_init(&q, 4), 0);
        if (cleared) {
            queue_clear(&q);
            EXPECT_EQ(queue_is_empty(&q) + queue_is_full(&q), 2) << "a cleared queue is both empty and full";
        }
        std::atomic<int> got{-1};
        std::thread reader([&] { got = dequeue_single(&q); });
        usleep(20000);
        EXPECT_EQ(got.load(), -1) << "dequeue_single returned without a byte";
        if (cleared) {
            ASSERT_EQ(queue_init(&q, 4), 0);
        }
        enqueue_single(&q, 42);
        reader.join();
        EXPECT_EQ(got.load(), 42);
        queue_clear(&q);
    }
}

TEST_F(ByteQueueTest, FullQueueMakesTheWriterWaitAndPrint)
{
    ASSERT_EQ(queue_init(&q, 2), 0);
    const uint8_t in[] = {1, 2, 3};
    const std::string out = stdout_of([&] {
        std::thread writer([&] { enqueue_multi(&q, in, 3); });
        while (lep3::link::queue_count(q) < 2)
            usleep(100);
        usleep(2000);
        EXPECT_EQ(dequeue_single(&q), 1);
        writer.join();
    });
    EXPECT_NE(out.find("\n\nuart_queue is full\n\n"), std::string::npos);
    EXPECT_EQ(dequeue_single(&q), 2);
    EXPECT_EQ(dequeue_single(&q), 3);
}

TEST_F(ByteQueueTest, ProducerAndConsumerThreadsLoseAndReorderNothing)
{
    constexpr int kBytes = 300000;
    ASSERT_EQ(queue_init(&q, 997), 0); // odd size: wraps at a different place every lap
    std::vector<uint8_t> in(kBytes), out(kBytes);
    for (int i = 0; i < kBytes; ++i)
        in[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 31 + (i >> 8));
    std::thread writer([&] {
        for (int off = 0; off < kBytes; off += 700) {
            while (q.capacity - lep3::link::queue_count(q) < 700)
                usleep(1); // never full: no message
            enqueue_multi(&q, in.data() + off, std::min(700, kBytes - off));
        }
    });
    for (int i = 0; i < kBytes; i += 1000)
        dequeue_multi(&q, out.data() + i, std::min(1000, kBytes - i));
    writer.join();
    EXPECT_EQ(out, in);
}

class FrameQueueTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        EXPECT_EQ(stdout_of([] { ASSERT_EQ(frame_queue_init(&frame_queue, 57600, 120, 160), 0); }),
                  "frameQueue size:4\n");
    }
    void TearDown() override { frame_queue_free(&frame_queue); }

    // Frame number n, every byte equal to n.
    static int write_frame(uint32_t n, uint32_t format = 0, uint32_t size = 38400)
    {
        std::vector<uint8_t> data(size, static_cast<uint8_t>(n));
        const frame_desc_t desc{0, format, 160, 120, size, n};
        return LEP3_SendFrameToQueue(data.data(), &desc);
    }

    static uint32_t read_frame()
    {
        uint8_t *slot = nullptr;
        frame_desc_t desc{};
        EXPECT_EQ(frame_dequeue(&frame_queue, &slot, &desc), 0);
        EXPECT_EQ(slot[0], static_cast<uint8_t>(desc.frame_number)) << "slot and descriptor disagree";
        return desc.frame_number;
    }

    // Starts a reader, checks that it waits, writes frame n and returns what it got.
    static uint32_t read_after_write(uint32_t n)
    {
        std::atomic<uint32_t> got{0};
        std::thread reader([&] { got = read_frame(); });
        usleep(20000);
        EXPECT_EQ(got.load(), 0U) << "the reader did not wait for frame " << n;
        write_frame(n);
        reader.join();
        return got.load();
    }

    static uint64_t overwritten()
    {
        lep3_link_stats_t s{};
        return LEP3_GetLinkStats(&s) == 0 ? s.frames_overwritten : ~0ULL;
    }
};

TEST_F(FrameQueueTest, ReaderGetsTheNewestFrameAndNeverOneTwice)
{
    EXPECT_EQ(read_after_write(1), 1U);
    write_frame(2);
    write_frame(3);
    EXPECT_EQ(read_frame(), 3U);
    EXPECT_EQ(read_after_write(4), 4U);
}

TEST_F(FrameQueueTest, OverwrittenFramesAreSkippedAndCounted)
{
    for (uint32_t n = 1; n <= 6; ++n)
        write_frame(n);
    EXPECT_EQ(read_frame(), 6U);
    EXPECT_EQ(overwritten(), 5U) << "frames 1 to 5 were superseded untaken";
    write_frame(7);
    EXPECT_EQ(overwritten(), 5U) << "frame 6 was taken";
}

TEST_F(FrameQueueTest, HostCopyIsExactlyTheFrameOfEachForm)
{
    std::vector<uint8_t> buffer(57601, 0xEE);
    for (const uint32_t format : {0U, 1U}) {
        const uint32_t n = format + 1, bytes = format == 0 ? 38400 : 57600;
        write_frame(n, format, bytes);
        uint32_t width = 0, height = 0, got_format = 9, size = 0, number = 0;
        ASSERT_EQ(LEP3_GetFrameFromQueue(buffer.data(), &width, &height, &got_format, &size, &number), 0);
        EXPECT_EQ(std::vector<uint32_t>({width, height, got_format, size, number}),
                  std::vector<uint32_t>({160, 120, format, bytes, n}));
        EXPECT_EQ(buffer[bytes - 1], n);
        EXPECT_EQ(buffer[bytes], 0xEE) << "copied beyond the frame's " << bytes << " bytes";
    }
}

TEST_F(FrameQueueTest, FrameLargerThanItsSlotIsRefusedUnpublished)
{
    int result = 0;
    EXPECT_EQ(stdout_of([&] { result = write_frame(1, 1, 57601); }), "LEP3 SendFrame error, frame queue is full!\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(frame_queue.last_pos, frame_queue.write_pos) << "a refused frame was published";
    EXPECT_EQ(write_frame(2, 1, 57600), 0) << "a frame of exactly the slot size fits";
}

} // namespace
