// The reader and parser loops the host runs in two threads of its own. Each loop is a
// thin wrapper around one pass that the tests call directly.
//
// The reader is stopped with pthread_cancel (a firmware update does so): nothing on its
// path may be noexcept or swallow the unwinding that cancellation starts.
#include <pthread.h>
#include <unistd.h>

#include <array>
#include <cstdio>

#include "link/link_internal.h"

namespace lep3::link {

ssize_t read_into_queue()
{
    std::array<uint8_t, kReadChunk> buffer;
    const ssize_t n = read(uart_fd, buffer.data(), buffer.size());
    if (n < 0) {
        // A failed read is counted and ignored; the loop simply reads again.
        bump(link_counters.read_failures);
    } else if (n > 0) {
        const auto len = static_cast<int32_t>(n);
        // The parser drains the queue; wait for room without dropping a byte.
        while (queue_count(uart_queue) + len > uart_queue.capacity)
            puts("\n\n\n\nuart_queue is full\n\n\n");
        enqueue_multi(&uart_queue, buffer.data(), len);
        bump(link_counters.bytes_read, static_cast<uint64_t>(n));
    }
    return n;
}

void read_pass()
{
    read_into_queue();
    pthread_testcancel();
}

void parse_pass()
{
    parse_byte(dequeue_single(&uart_queue));
    reset_check();
}

} // namespace lep3::link

extern "C" LEP3_API void *LEP3_Read_Thr(void * /*arg*/)
{
    puts("Enter LEP_Read_Thr");
    for (;;)
        lep3::link::read_pass();
}

extern "C" LEP3_API void *LEP3_Parse_Thr(void * /*arg*/)
{
    puts("Enter LEP_Parse_Thr");
    for (;;)
        lep3::link::parse_pass();
}
