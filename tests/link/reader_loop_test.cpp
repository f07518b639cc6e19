// The reader loop when the bridge misbehaves: a bridge that floods the port faster than
// the parser takes the bytes, and one that is unplugged.
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
using namespace std::chrono_literals;

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
