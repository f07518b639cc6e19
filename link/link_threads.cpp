// The reader and parser loops the host runs in two threads of its own. Each loop is a
// thin wrapper around one pass that the tests call directly.
//
// The reader is stopped with pthread_cancel (a firmware update does so): nothing on its
// path may be noexcept or swallow the unwinding that cancellation starts.
#include <pthread.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "link/console.h"
#include "link/link_internal.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace lep3::link {

namespace {

bool no_room_for(int32_t len)
{
    // queue_clear may zero the capacity meanwhile (a firmware update): the reader then
    // waits for the next queue_init, in polls that cancellation can end.
    const int32_t capacity = std::atomic_ref<int32_t>(uart_queue.capacity).load(std::memory_order_relaxed);
    return queue_count(uart_queue) + len > capacity;
}

// The parser drains the queue; wait for room without dropping a byte. A bridge that
// outruns the parser would otherwise fill the console: one message and one count for
// each time the queue is found full, then the queue's own polls until there is room.
void wait_for_room(int32_t len)
{
    if (!no_room_for(len))
        return;
    bump(link_counters.queue_full_episodes);
    lep3::console::put_line("\n\n\n\nuart_queue is full\n\n\n");
    while (no_room_for(len))
        usleep(poll_pause());
}

} // namespace

ssize_t read_into_queue()
{
    // One reader runs at a time, so its chunk buffer is static. Keeping it off the stack
    // also keeps the frame that a cancellation unwinds free of arrays.
    static std::array<uint8_t, kReadChunk> buffer;
    const ssize_t n = read(uart_fd, buffer.data(), buffer.size());
    if (n > 0) {
        const auto len = static_cast<int32_t>(n);
        wait_for_room(len);
        put_bytes(uart_queue, buffer.data(), len);
        bump(link_counters.bytes_read, static_cast<uint64_t>(n));
        return n;
    }
    // A failed read is ignored and the loop reads again; a read that brings nothing on a
    // blocking port means the device has gone (an unplugged bridge reads end-of-file for
    // ever). Either way the next read waits a moment instead of spinning on a dead port.
    bump(n < 0 ? link_counters.read_failures : link_counters.empty_reads);
    usleep(kEmptyReadPauseUs);
    return n;
}

namespace {

std::atomic<int32_t> running_readers{0};

// A reader loop counts itself in when it starts and out when its thread exits, through a
// thread-specific value whose destructor runs after cancellation has unwound the loop.
// Nothing with a destructor sits on the loop's own stack.
void count_reader_out(void * /*value*/)
{
    running_readers.fetch_sub(1, std::memory_order_release);
}

} // namespace

void count_reader_in()
{
    static pthread_key_t key;
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, [] { pthread_key_create(&key, count_reader_out); });
    running_readers.fetch_add(1, std::memory_order_relaxed);
    static char marker;
    pthread_setspecific(key, &marker);
}

namespace {

constexpr auto kReaderGonePoll = std::chrono::milliseconds(1);

} // namespace

bool wait_for_readers_gone(std::chrono::milliseconds limit)
{
    for (auto waited = std::chrono::milliseconds(0); running_readers.load(std::memory_order_acquire) > 0;
         waited += kReaderGonePoll) {
        if (waited >= limit)
            return false;
        std::this_thread::sleep_for(kReaderGonePoll);
    }
    return true;
}

void read_pass()
{
    read_into_queue();
    pthread_testcancel();
}

namespace {

#if defined(__SANITIZE_ADDRESS__)
// Cancellation unwinds a loop without running AddressSanitizer's epilogues, so the dead
// frames below the thread's start keep their poisoned redzones, and the sanitizer's own
// clean-up at thread exit would trip over them. A thread-specific value's destructor
// runs at exit after the unwinding, before that clean-up, and clears the dead stack.
void clear_dead_frames(void * /*value*/)
{
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return;
    void *low = nullptr;
    size_t size = 0;
    pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    auto *here = static_cast<char *>(__builtin_frame_address(0));
    auto *bottom = static_cast<char *>(low);
    if (here > bottom)
        __asan_unpoison_memory_region(bottom, static_cast<size_t>(here - bottom));
}

} // namespace

void prepare_for_cancellation()
{
    static pthread_key_t key;
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, [] { pthread_key_create(&key, clear_dead_frames); });
    static char marker;
    pthread_setspecific(key, &marker);
}
#else
} // namespace

void prepare_for_cancellation() {}
#endif

} // namespace lep3::link

extern "C" LEP3_API void *LEP3_Read_Thr(void * /*arg*/)
{
    lep3::console::put_line("Enter LEP_Read_Thr");
    lep3::link::use_loop_pause(); // the thread is the loop's until it is cancelled
    lep3::link::prepare_for_cancellation();
    lep3::link::count_reader_in();
    for (;;)
        lep3::link::read_pass();
}

extern "C" LEP3_API void *LEP3_Parse_Thr(void * /*arg*/)
{
    lep3::console::put_line("Enter LEP_Parse_Thr");
    lep3::link::use_loop_pause(); // the thread is the loop's until it is cancelled
    lep3::link::prepare_for_cancellation();
    for (;;)
        lep3::link::parse_pass();
}
