// The byte ring queue (waiting on an empty or cleared queue, the full queue), the frame
// queue's latest-frame delivery (the newest frame, never one twice, overwritten frames
// skipped and counted, no frame beyond a slot), and the reader loop that fills the byte
// queue when the bridge misbehaves: it floods the port faster than the parser takes the
// bytes, or is unplugged. The reader racing the parser across the byte queue's
// wrap-around is the end-to-end and flood tests' (every byte checked).

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "link/helpers.h"
#include "support/eventually.h"
#include "support/link_harness.h"

namespace {

using lep3::test::eventually;
using lep3::test::LinkHarness;
using lep3::test::stats;
using lep3::test::stdout_of;
using namespace std::chrono_literals;

class ByteQueueTest : public ::testing::Test {
  protected:
    void TearDown() override { queue_clear(&q); }
    cir_queue_t q{};
};

// The parser loop waits on a cleared queue across a firmware update until it is set up again.
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

// A queue without room would be full for ever: refused as if storage were short, the
// record left as it was.
TEST_F(ByteQueueTest, CapacityOfZeroOrLessIsRefused)
{
    for (const int32_t capacity : {0, -1, INT32_MIN}) {
        int result = 0;
        EXPECT_EQ(stdout_of([&] { result = queue_init(&q, capacity); }), "Cir queue init failed!\n");
        EXPECT_EQ(result, -1);
        EXPECT_EQ(std::make_tuple(q.storage, q.capacity), std::make_tuple(static_cast<uint8_t *>(nullptr), 0));
    }
}

TEST_F(ByteQueueTest, FullQueueMakesTheWriterWaitAndPrintAndNullDestinationIsRefused)
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
    int32_t n = 0;
    EXPECT_EQ(stdout_of([&] { n = dequeue_multi(&q, nullptr, 4); }), "Source point of dequeue_multi() is NULL! \n");
    EXPECT_EQ(n, -1);
    EXPECT_EQ(dequeue_single(&q), 2);
    EXPECT_EQ(dequeue_single(&q), 3);
}

class FrameQueueTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(frame_queue_init(&frame_queue, 57600, 120, 160), 0); }
    void TearDown() override { frame_queue_free(&frame_queue); }

    // Frame number n, every byte equal to n.
    static int write_frame(uint32_t n, uint32_t format = 0, uint32_t size = 38400)
    {
        std::vector<uint8_t> data(size, uint8_t(n));
        const frame_desc_t desc{0, format, 160, 120, size, n};
        return LEP3_SendFrameToQueue(data.data(), &desc);
    }
    static uint32_t read_frame()
    {
        uint8_t *slot = nullptr;
        frame_desc_t desc{};
        EXPECT_EQ(frame_dequeue(&frame_queue, &slot, &desc), 0);
        EXPECT_EQ(slot[0], uint8_t(desc.frame_number)) << "slot and descriptor disagree";
        // The frame wait polls more slowly than prescribed; the host's thread gets its own poll back.
        EXPECT_EQ(lep3::link::poll_pause(), lep3::link::kQueuePollUs);
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
};

TEST_F(FrameQueueTest, ReaderGetsTheNewestFrameNeverOneTwiceAndOverwrittenOnesAreCounted)
{
    EXPECT_EQ(read_after_write(1), 1U);
    for (uint32_t n = 2; n <= 7; ++n)
        write_frame(n);
    EXPECT_EQ(read_frame(), 7U);
    EXPECT_EQ(stats().frames_overwritten, 5U) << "frames 2 to 6 were superseded untaken";
    EXPECT_EQ(read_after_write(8), 8U);
    EXPECT_EQ(stats().frames_overwritten, 5U) << "frame 7 was taken";
}

TEST_F(FrameQueueTest, FrameLargerThanItsSlotIsRefusedUnpublished)
{
    int result = 0;
    EXPECT_EQ(stdout_of([&] { result = write_frame(1, 1, 57601); }), "LEP3 SendFrame error, frame queue is full!\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(frame_queue.last_pos, frame_queue.write_pos) << "a refused frame was published";
    EXPECT_EQ(write_frame(2, 1, 57600), 0) << "a frame of exactly the slot size fits";
}

double thread_cpu_seconds(pthread_t thread)
{
    clockid_t clock{};
    pthread_getcpuclockid(thread, &clock);
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

std::atomic<int> full_messages{0};

void count_full_messages(int /*stream*/, const char *text, void * /*context*/)
{
    if (std::string(text) == "\n\n\n\nuart_queue is full\n\n\n\n")
        full_messages.fetch_add(1);
}

// With nobody draining the queue, the reader waits for room without a byte lost, saying
// so once each time it finds the queue full rather than on every test.
TEST(ReaderLoop, FloodFillsTheQueueAndIsReportedOncePerEpisode)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    lep3::link::Fd read_end(ends[0]), write_end(ends[1]);
    uart_fd = read_end.get();
    constexpr int32_t kCapacity = 4000; // three 1024-byte reads fit, the fourth doesn't
    ASSERT_EQ(queue_init(&uart_queue, kCapacity), 0);
    std::vector<uint8_t> flood(3 * kCapacity);
    for (size_t i = 0; i < flood.size(); ++i)
        flood[i] = uint8_t(i * 13);
    ASSERT_EQ(write(write_end.get(), flood.data(), flood.size()), ssize_t(flood.size()));
    LEP3_SetMessageHandler(count_full_messages, nullptr);
    pthread_t reader{};
    ASSERT_EQ(pthread_create(&reader, nullptr, LEP3_Read_Thr, nullptr), 0);

    ASSERT_TRUE(eventually([] { return stats().queue_full_episodes == 1; }));
    std::this_thread::sleep_for(100ms); // a reader reporting every test of the full queue would have done so often
    EXPECT_EQ(full_messages.load(), 1);
    // Drained as it comes, the flood may fill the queue again: one message each time.
    std::vector<uint8_t> drained;
    while (drained.size() < flood.size()) {
        const auto n = size_t(lep3::link::queue_count(uart_queue));
        drained.resize(drained.size() + n);
        if (n > 0)
            dequeue_multi(&uart_queue, drained.data() + drained.size() - n, int32_t(n));
        std::this_thread::sleep_for(1ms);
    }
    pthread_cancel(reader);
    pthread_join(reader, nullptr);
    LEP3_SetMessageHandler(LEP3_ConsoleMessages, nullptr);
    EXPECT_EQ(drained, flood) << "the reader lost or reordered bytes";
    EXPECT_EQ(stats().bytes_read, flood.size());
    EXPECT_EQ(uint64_t(full_messages.load()), stats().queue_full_episodes);
    queue_clear(&uart_queue);
}

// Once the bridge is unplugged every read returns at once with nothing: the reader
// counts them and pauses after each, instead of spinning a core. The measure is one of
// the reader's own CPU time, so a busy machine can only make it smaller.
TEST(ReaderLoop, UnpluggedBridgeCostsTheReaderAlmostNothingAndShowsAsEmptyReads)
{
    LinkHarness link;
    ASSERT_EQ(LEP3_GetRawVideo(), 0);
    ASSERT_TRUE(eventually([] { return stats().frames_raw > 0; }));
    link.sim().unplug();
    ASSERT_TRUE(eventually([] { return stats().empty_reads > 0; })) << "the reader never saw the device go";
    const uint64_t reads_before = stats().empty_reads;
    const double cpu_before = thread_cpu_seconds(link.reader());
    const auto wall_before = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1s);
    const double cpu = thread_cpu_seconds(link.reader()) - cpu_before;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
    const uint64_t reads = stats().empty_reads - reads_before;
    EXPECT_LT(cpu / wall, 0.05) << "the reader spins on the unplugged port";
    EXPECT_GT(reads, 0U);
    EXPECT_LE(double(reads), wall * 1000 + 1) << "at most one read per 1 ms pause";
    EXPECT_EQ(LEP3_GetRawVideo(), -1) << "a request to the unplugged bridge was written";
}

} // namespace
