// The session's reader and parser loops on the library's own threads. This file is the
// only place that starts, cancels and joins them.
//
// They run the same state table as LEP3_Read_Thr and LEP3_Parse_Thr, with the same
// counters and messages, but wait differently: the reader sleeps in its blocking read of
// the port, straight into a ring of its own, the parser sleeps on an eventfd until the ring
// holds enough to move the table on, and takes each run of bytes at once. Nothing wakes
// while no byte comes, and a streaming link costs one reader wake-up a read and about one
// parser wake-up a packet.
//
// The parser is stopped with pthread_cancel: it waits only in read() of its eventfd, a
// cancellation point, and holds nothing there; it keeps cancellation off while it works
// through a run. So is the reader while the port lives (the firmware update cancels it
// itself): it waits only in its blocking read. Once the port hung up, the reader waits out
// its pause between reads on a stop eventfd instead, with cancellation off, and ends by
// returning when stopped: a thread cancelled in that pause (a sleep) could end with
// ThreadSanitizer's thread registry locked, and every thread after it waiting for it.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "lep3.h"
#include "link/console.h"
#include "link/link_internal.h"
#include "session/session_internal.h"

namespace lep3::session {

namespace {

// Room for several whole RGB frame packets: a parser that waits for the rest of a frame
// leaves the reader most of the ring.
constexpr size_t kRingBytes = size_t{1} << 18;
static_assert((kRingBytes & (kRingBytes - 1)) == 0, "positions wrap by mask");
static_assert(kRingBytes > size_t{2} * link::kRgbPacketData);
// The most one read asks for: whatever the port holds, in one call.
constexpr size_t kReadMax = size_t{64} * 1024;
// The end of a frame packet's data that the parser leaves for the wake-up at its last byte
// (about one read of the port).
constexpr uint64_t kFinalRun = 4096;

// Single producer (the reader), single consumer (the parser). Positions count bytes since
// the loops started and only grow; each side sleeps on its own eventfd, after announcing
// what it waits for. Both sides store their own position and then load the other side's
// announcement (and the sleeper the other way round) with sequential consistency, so
// either the sleeper sees the new position or the waker sees the announcement.
struct Ring {
    std::unique_ptr<uint8_t[]> bytes;
    std::atomic<uint64_t> head{0};          // consumed; written by the parser
    std::atomic<uint64_t> tail{0};          // produced; written by the reader
    std::atomic<uint64_t> parser_until{0};  // the parser sleeps until tail reaches this; 0 awake
    std::atomic<bool> reader_asleep{false}; // the reader sleeps until head moves
    bool hung_up = false;                   // the reader has told the supervisor
    link::Fd bytes_came;                    // the parser's wake-up
    link::Fd room_came;                     // the reader's
};
Ring ring;

// How the reader is to be stopped: cancelled while reading, woken by the eventfd once hung
// up. stop() and the reader's hang-up both leave `reading` by exchange, so exactly one of
// them decides.
enum class ReaderMode : int { reading, hung_up, stopping };
struct ReaderStop {
    std::atomic<ReaderMode> mode{ReaderMode::reading};
    link::Fd event;
};
ReaderStop reader_stop;

void signal(const link::Fd &event)
{
    const uint64_t one = 1;
    (void)!write(event.get(), &one, sizeof one);
}

// A cancellation point: the thread may end here.
void sleep_on(const link::Fd &event)
{
    uint64_t count = 0;
    (void)!read(event.get(), &count, sizeof count);
}

// ---- The reader -------------------------------------------------------------------------

// Room in the ring as one contiguous run; sleeps while there is none.
std::span<uint8_t> room()
{
    const uint64_t tail = ring.tail.load(std::memory_order_relaxed);
    for (bool counted = false;;) {
        const uint64_t used = tail - ring.head.load(std::memory_order_acquire);
        if (used < kRingBytes) {
            const size_t at = tail & (kRingBytes - 1);
            const size_t len = std::min({kRingBytes - used, kRingBytes - at, kReadMax});
            return {ring.bytes.get() + at, len};
        }
        if (!counted) {
            // As the classic reader: one message and one count for each time it is found full.
            counted = true;
            link::bump(link::link_counters.queue_full_episodes);
            console::put_line("\n\n\n\nuart_queue is full\n\n\n");
        }
        ring.reader_asleep.store(true);
        if (tail - ring.head.load() >= kRingBytes)
            sleep_on(ring.room_came);
        ring.reader_asleep.store(false);
    }
}

// The reader's pause after a read that brought nothing, on the stop eventfd; false when
// the reader is to end.
bool pause_unless_stopped()
{
    pollfd stop{reader_stop.event.get(), POLLIN, 0};
    const timespec pause{0, static_cast<long>(link::kEmptyReadPauseUs) * 1000};
    return ppoll(&stop, 1, &pause, nullptr) != 1;
}

// One read into the ring; false when the reader is to end. A port that hung up
// (end-of-file, or a read that fails) is told to the supervisor, which takes the link down
// at once; until then the reader reads again after the classic reader's pause rather than
// spin on a dead descriptor.
bool reader_pass()
{
    // The port is blocking: the read sleeps until bytes come and reports a hang-up itself
    // (end-of-file, or EIO), so no poll() goes before it. Measured at real-time RGB, the
    // poll() a read cost as much as everything else the loops do together.
    const std::span<uint8_t> into = room();
    const ssize_t n = read(uart_fd, into.data(), into.size());
    if (n > 0) {
        link::bump(link::link_counters.bytes_read, static_cast<uint64_t>(n));
        const uint64_t tail = ring.tail.load(std::memory_order_relaxed) + static_cast<uint64_t>(n);
        ring.tail.store(tail);
        const uint64_t until = ring.parser_until.load();
        if (until != 0 && tail >= until)
            signal(ring.bytes_came);
        note_bytes_arrived();
        return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    link::bump(n < 0 ? link::link_counters.read_failures : link::link_counters.empty_reads);
    if (!std::exchange(ring.hung_up, true)) {
        // From here on the reader is woken, not cancelled. A stop that came first has a
        // cancellation pending, which can't act now: the reader ends by returning.
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
        ReaderMode expected = ReaderMode::reading;
        if (!reader_stop.mode.compare_exchange_strong(expected, ReaderMode::hung_up))
            return false;
        note_hangup();
    }
    return pause_unless_stopped();
}

void *reader_loop(void * /*arg*/)
{
    console::put_line("Enter LEP_Read_Thr");
    link::prepare_for_cancellation();
    link::count_reader_in();
    while (reader_pass()) {
    }
    return nullptr;
}

// ---- The parser -------------------------------------------------------------------------

// Sleeps until the ring holds `need` bytes past `head`; returns the tail it saw.
uint64_t wait_for_bytes(uint64_t head, uint64_t need)
{
    for (;;) {
        const uint64_t tail = ring.tail.load(std::memory_order_acquire);
        if (tail - head >= need)
            return tail;
        ring.parser_until.store(head + need);
        if (ring.tail.load() - head < need)
            sleep_on(ring.bytes_came);
        ring.parser_until.store(0);
    }
}

void parser_pass()
{
    const uint64_t head = ring.head.load(std::memory_order_relaxed);
    // Inside a frame packet's data nothing completes before its last byte: the parser
    // sleeps until all but kFinalRun bytes of it are there, takes them, and sleeps again
    // until the rest is (the bytes, the frame and the time it is queued are the same), so a
    // frame costs it two wake-ups rather than one a read, and its delivery after its last
    // byte waits on little parsing.
    const auto missing = static_cast<uint64_t>(link::frame_bytes_missing());
    const uint64_t tail =
        wait_for_bytes(head, missing > kFinalRun ? missing - kFinalRun : std::max<uint64_t>(missing, 1));
    int previous = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
    for (uint64_t at = head; at != tail;) {
        const size_t from = at & (kRingBytes - 1);
        const size_t len = std::min<uint64_t>(tail - at, kRingBytes - from);
        link::parse_bytes({ring.bytes.get() + from, len});
        at += len;
    }
    pthread_setcancelstate(previous, nullptr);
    ring.head.store(tail);
    if (ring.reader_asleep.load())
        signal(ring.room_came);
}

void *parser_loop(void * /*arg*/)
{
    console::put_line("Enter LEP_Parse_Thr");
    link::prepare_for_cancellation();
    for (;;)
        parser_pass();
}

// ---- Starting and stopping --------------------------------------------------------------

struct Loop {
    pthread_t thread{};
    bool running = false;
};
Loop reader;
Loop parser;

bool start(Loop &loop, void *(*routine)(void *))
{
    // The host's signals are the host's: the loops take none of them.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    loop.running = pthread_create(&loop.thread, nullptr, routine, nullptr) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return loop.running;
}

void stop(Loop &loop)
{
    if (!loop.running)
        return;
    ReaderMode expected = ReaderMode::reading;
    if (&loop != &reader || reader_stop.mode.compare_exchange_strong(expected, ReaderMode::stopping))
        pthread_cancel(loop.thread);
    else
        signal(reader_stop.event);
    pthread_join(loop.thread, nullptr);
    loop.running = false;
}

bool make_ring()
{
    if (!ring.bytes)
        ring.bytes = std::make_unique<uint8_t[]>(kRingBytes);
    ring.head.store(0);
    ring.tail.store(0);
    ring.parser_until.store(0);
    ring.reader_asleep.store(false);
    ring.hung_up = false;
    ring.bytes_came.reset(eventfd(0, EFD_CLOEXEC));
    ring.room_came.reset(eventfd(0, EFD_CLOEXEC));
    reader_stop.mode.store(ReaderMode::reading);
    reader_stop.event.reset(eventfd(0, EFD_CLOEXEC));
    return ring.bytes_came.valid() && ring.room_came.valid() && reader_stop.event.valid();
}

void release_ring()
{
    ring.bytes_came.reset();
    ring.room_came.reset();
    reader_stop.event.reset();
}

} // namespace

bool start_loops()
{
    if (!make_ring()) {
        release_ring();
        return false;
    }
    if (!start(reader, reader_loop)) {
        release_ring();
        return false;
    }
    if (!start(parser, parser_loop)) {
        stop(reader);
        release_ring();
        return false;
    }
    return true;
}

bool prepare_loop_passes()
{
    return make_ring();
}

void loop_read_pass()
{
    (void)reader_pass();
}

void loop_parse_pass()
{
    parser_pass();
}

void stop_loops()
{
    stop(reader);
    stop(parser);
    release_ring();
}

void reclaim_reader()
{
    if (reader.running) {
        pthread_join(reader.thread, nullptr);
        reader.running = false;
    }
}

pthread_t reader_thread()
{
    return reader.thread;
}

} // namespace lep3::session
