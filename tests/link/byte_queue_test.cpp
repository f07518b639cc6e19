// The byte ring queue: order across wrap-around, waiting on an empty queue, the cleared
// queue, and one producer racing one consumer.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "link/link_internal.h"

namespace {

class ByteQueueTest : public ::testing::Test {
  protected:
    void TearDown() override { queue_clear(&q); }
    cir_queue_t q{};
};

TEST_F(ByteQueueTest, BytesComeOutInOrder)
{
    ASSERT_EQ(queue_init(&q, 4), 0);
    const uint8_t in[] = {7, 8, 9};
    enqueue_multi(&q, in, 3);
    EXPECT_EQ(dequeue_single(&q), 7);
    EXPECT_EQ(dequeue_single(&q), 8);
    EXPECT_EQ(dequeue_single(&q), 9);
    EXPECT_EQ(queue_is_empty(&q), 1);
}

TEST_F(ByteQueueTest, WrapAroundKeepsOrder)
{
    ASSERT_EQ(queue_init(&q, 4), 0);
    const uint8_t first[] = {1, 2, 3, 4};
    enqueue_multi(&q, first, 4);
    EXPECT_EQ(queue_is_full(&q), 1);
    uint8_t out[2] = {};
    EXPECT_EQ(dequeue_multi(&q, out, 2), 2);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[1], 2);
    enqueue_single(&q, 5);
    enqueue_single(&q, 6);
    EXPECT_EQ(q.tail, 2);
    EXPECT_EQ(q.head, 2);
    EXPECT_EQ(q.count, 4);
    uint8_t rest[4] = {};
    EXPECT_EQ(dequeue_multi(&q, rest, 4), 4);
    EXPECT_EQ(std::vector<uint8_t>(rest, rest + 4), (std::vector<uint8_t>{3, 4, 5, 6}));
    EXPECT_EQ(q.tail, q.head);
}

TEST_F(ByteQueueTest, NonPositiveLengthsChangeNothing)
{
    ASSERT_EQ(queue_init(&q, 8), 0);
    const uint8_t in[] = {1};
    enqueue_multi(&q, in, 0);
    enqueue_multi(&q, in, -5);
    EXPECT_EQ(q.count, 0);
    EXPECT_EQ(q.tail, 0);
    uint8_t out[1] = {};
    EXPECT_EQ(dequeue_multi(&q, out, 0), 0);
    EXPECT_EQ(dequeue_multi(&q, out, -3), -3);
}

TEST_F(ByteQueueTest, NullDestinationIsReported)
{
    ASSERT_EQ(queue_init(&q, 8), 0);
    ::testing::internal::CaptureStdout();
    const int32_t n = dequeue_multi(&q, nullptr, 4);
    fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Source point of dequeue_multi() is NULL! \n");
    EXPECT_EQ(n, -1);
}

TEST_F(ByteQueueTest, ClearedQueueTestsEmptyAndFull)
{
    ASSERT_EQ(queue_init(&q, 8), 0);
    enqueue_single(&q, 1);
    queue_clear(&q);
    EXPECT_EQ(queue_is_empty(&q), 1);
    EXPECT_EQ(queue_is_full(&q), 1);
    EXPECT_EQ(q.storage, nullptr);
    EXPECT_EQ(q.capacity, 0);
}

TEST_F(ByteQueueTest, EmptyQueueMakesTheReaderWaitForTheNextByte)
{
    ASSERT_EQ(queue_init(&q, 4), 0);
    std::atomic<int> got{-1};
    std::thread reader([&] { got = dequeue_single(&q); });
    usleep(20000);
    EXPECT_EQ(got.load(), -1) << "dequeue_single returned from an empty queue";
    enqueue_single(&q, 42);
    reader.join();
    EXPECT_EQ(got.load(), 42);
}

TEST_F(ByteQueueTest, ClearedQueueKeepsTheReaderWaitingUntilReinitialised)
{
    // The parser loop waits across a firmware update this way.
    ASSERT_EQ(queue_init(&q, 4), 0);
    queue_clear(&q);
    std::atomic<int> got{-1};
    std::thread reader([&] { got = dequeue_single(&q); });
    usleep(20000);
    EXPECT_EQ(got.load(), -1);
    ASSERT_EQ(queue_init(&q, 4), 0);
    enqueue_single(&q, 9);
    reader.join();
    EXPECT_EQ(got.load(), 9);
}

TEST_F(ByteQueueTest, FullQueueMakesTheWriterWaitAndPrint)
{
    ASSERT_EQ(queue_init(&q, 2), 0);
    const uint8_t in[] = {1, 2, 3};
    ::testing::internal::CaptureStdout();
    std::thread writer([&] { enqueue_multi(&q, in, 3); });
    while (lep3::link::queue_count(q) < 2)
        usleep(100);
    usleep(2000);
    EXPECT_EQ(dequeue_single(&q), 1);
    writer.join();
    fflush(stdout);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\n\nuart_queue is full\n\n"), std::string::npos);
    EXPECT_EQ(dequeue_single(&q), 2);
    EXPECT_EQ(dequeue_single(&q), 3);
}

TEST_F(ByteQueueTest, ProducerAndConsumerThreadsLoseAndReorderNothing)
{
    constexpr int kBytes = 300000;
    ASSERT_EQ(queue_init(&q, 997), 0); // odd size: wraps at a different place every lap
    std::vector<uint8_t> in(kBytes);
    for (int i = 0; i < kBytes; ++i)
        in[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 31 + (i >> 8));
    ::testing::internal::CaptureStdout(); // the full message may appear
    std::thread writer([&] {
        for (int off = 0; off < kBytes; off += 700) {
            const int len = std::min(700, kBytes - off);
            while (q.capacity - lep3::link::queue_count(q) < len)
                usleep(1);
            enqueue_multi(&q, in.data() + off, len);
        }
    });
    std::vector<uint8_t> out(kBytes);
    for (int i = 0; i < kBytes; i += 1000)
        dequeue_multi(&q, out.data() + i, std::min(1000, kBytes - i));
    writer.join();
    fflush(stdout);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, in);
}

} // namespace
