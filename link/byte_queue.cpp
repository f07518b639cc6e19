// The byte ring queue ("cir queue") between the reader loop and the parser loop.
//
// One producer, one consumer; the locking and counting rules are in link/byte_queue.h.
// count is read and written through std::atomic_ref so the unlocked tests are well
// defined.
#include <semaphore.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "link/byte_queue.h"
#include "link/console.h"
#include "link/link_internal.h"

using lep3::link::queue_count;

namespace lep3::link::byte_queue {

// The other side holds the lock only for a few instructions, so a short spin on
// sem_trywait takes it far sooner than sleeping in the kernel (and sparing the holder a
// wake-up call on release); after the spin it blocks as usual.
constexpr int kLockSpins = 64;

void lock_contended(sem_t &sem)
{
    for (int i = 0; i < kLockSpins; ++i) {
        if (sem_trywait(&sem) == 0)
            return;
    }
    while (sem_wait(&sem) != 0 && errno == EINTR) {
    }
}

void wait_for_byte(const cir_queue_t &queue)
{
    while (empty(queue))
        usleep(poll_pause());
}

} // namespace lep3::link::byte_queue

namespace {

using namespace lep3::link::byte_queue;

bool full(const cir_queue_t &queue)
{
    return queue_count(queue) >= std::atomic_ref<const int32_t>(queue.capacity).load(std::memory_order_relaxed);
}

// Caller holds the lock and has seen room.
void put_locked(cir_queue_t &queue, uint8_t b)
{
    // Positions read before the byte is stored: a byte store may alias anything, and
    // reading them after it would cost a second load of each.
    const int32_t tail = queue.tail;
    const int32_t next = advance(tail, queue.capacity);
    add_count(queue, 1);
    queue.storage[tail] = b;
    queue.tail = next;
}

// Room the writer can count on: only the consumer changes count meanwhile, and only
// downwards.
int32_t room(const cir_queue_t &queue)
{
    return std::atomic_ref<const int32_t>(queue.capacity).load(std::memory_order_relaxed) - queue_count(queue);
}

} // namespace

namespace lep3::link {

void put_bytes(cir_queue_t &queue, const uint8_t *src, int32_t len)
{
    // One test for room covers as many bytes as it found room for; the lock is still
    // taken once per byte.
    for (int32_t i = 0; i < len;) {
        const int32_t free = room(queue);
        if (free <= 0) {
            lep3::console::put_line("\n\nuart_queue is full\n");
            usleep(poll_pause());
            continue;
        }
        for (const int32_t end = len - i > free ? i + free : len; i < end; ++i) {
            lock(queue.lock);
            put_locked(queue, src[i]);
            unlock(queue.lock);
        }
    }
}

} // namespace lep3::link

extern "C" {
LEP3_API cir_queue_t uart_queue;
}

extern "C" LEP3_API int queue_init(cir_queue_t *queue, int32_t capacity)
{
    // A queue without room would test full for ever: refused like storage that can't be
    // had, with the record unchanged.
    auto *storage = capacity > 0 ? static_cast<uint8_t *>(std::calloc(static_cast<size_t>(capacity), 1)) : nullptr;
    if (storage == nullptr) {
        lep3::console::put_line("Cir queue init failed!");
        return -1;
    }
    queue->storage = storage;
    queue->capacity = capacity;
    queue->tail = 0;
    queue->head = 0;
    std::atomic_ref<int32_t>(queue->count).store(0, std::memory_order_release);
    sem_init(&queue->lock, 0, 1);
    return 0;
}

extern "C" LEP3_API int queue_is_empty(cir_queue_t *queue)
{
    return empty(*queue) ? 1 : 0;
}

extern "C" LEP3_API int queue_is_full(cir_queue_t *queue)
{
    return full(*queue) ? 1 : 0;
}

extern "C" LEP3_API void queue_clear(cir_queue_t *queue)
{
    // Leaves a queue that tests both empty and full, so waiting readers and writers keep
    // waiting until the next queue_init. Like every change of the record it is made under
    // the lock, so it is ordered after the consumer's last take; the semaphore itself is
    // left as it is (released again, ready for the next queue_init).
    // A queue that was never initialised (or is cleared already) has no storage and may
    // have no usable semaphore either: there is nothing to order against then.
    const bool in_use = queue->storage != nullptr;
    if (in_use)
        lock(queue->lock);
    queue->tail = 0;
    queue->head = 0;
    std::atomic_ref<int32_t>(queue->count).store(0, std::memory_order_release);
    std::atomic_ref<int32_t>(queue->capacity).store(0, std::memory_order_relaxed);
    std::free(queue->storage);
    queue->storage = nullptr;
    if (in_use)
        unlock(queue->lock);
}

extern "C" LEP3_API int enqueue_single(cir_queue_t *queue, uint8_t byte)
{
    // No test for room: the caller makes it.
    lock(queue->lock);
    put_locked(*queue, byte);
    unlock(queue->lock);
    return 0;
}

extern "C" LEP3_API uint8_t dequeue_single(cir_queue_t *queue)
{
    return lep3::link::byte_queue::take_byte(*queue);
}

extern "C" LEP3_API void enqueue_multi(cir_queue_t *queue, const uint8_t *src, int32_t len)
{
    lep3::link::put_bytes(*queue, src, len);
}

extern "C" LEP3_API int32_t dequeue_multi(cir_queue_t *queue, uint8_t *dst, int32_t len)
{
    if (dst == nullptr) {
        lep3::console::put_line("Source point of dequeue_multi() is NULL! ");
        return -1;
    }
    for (int32_t i = 0; i < len; ++i)
        dst[i] = take_byte(*queue);
    return len;
}
