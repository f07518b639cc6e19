// An update stops the link's reader loop with pthread_cancel: the thread must end at its
// blocking read and the process must carry on.
#include <pthread.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "link/link_internal.h"

TEST(ReaderCancel, BlockedReaderEndsAsCancelledAndTheProcessCarriesOn)
{
    std::array<int, 2> pipe_fds{};
    ASSERT_EQ(pipe(pipe_fds.data()), 0);
    ASSERT_EQ(queue_init(&uart_queue, 4096), 0);
    uart_fd = pipe_fds[0];

    pthread_t reader{};
    ASSERT_EQ(pthread_create(&reader, nullptr, LEP3_Read_Thr, nullptr), 0);
    const std::array<uint8_t, 3> bytes{0xAA, 0x55, 0x01};
    ASSERT_EQ(write(pipe_fds[1], bytes.data(), bytes.size()), 3);
    for (int i = 0; i < 5000 && lep3::link::queue_count(uart_queue) < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(lep3::link::queue_count(uart_queue), 3);

    // The reader is now blocked in its next read, with nothing more to come.
    ASSERT_EQ(pthread_cancel(reader), 0);
    void *result = nullptr;
    ASSERT_EQ(pthread_join(reader, &result), 0);
    EXPECT_EQ(result, PTHREAD_CANCELED);

    // What it queued before it went is intact.
    std::array<uint8_t, 3> got{};
    EXPECT_EQ(dequeue_multi(&uart_queue, got.data(), 3), 3);
    EXPECT_EQ(got, bytes);

    queue_clear(&uart_queue);
    uart_fd = -1;
    close(pipe_fds[0]);
    close(pipe_fds[1]);
}
