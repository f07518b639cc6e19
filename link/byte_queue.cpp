// The byte ring queue ("cir queue") between the reader loop and the parser loop.
//
// One producer, one consumer. Every change of the record happens under the queue's
// semaphore, taken once per byte; the full and empty tests read count without it. Only
// the producer raises count and only the consumer lowers it, so a stale count can only
// make a test wait one poll longer. count is read and written through std::atomic_ref so
// those unlocked reads are well defined.
#include <semaphore.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "link/console.h"
#include "link/link_internal.h"

using lep3::link::kQueuePollUs;
using lep3::link::queue_count;

namespace {

// The other side holds the lock only for a few instructions, so a short spin on
// sem_trywait takes it far sooner than sleeping in the kernel (and sparing the holder a
// wake-up call on release); after the spin it blocks as usual.
constexpr int kLockSpins = 64;

void lock(sem_t &sem)
{
    for (int i = 0; i < kLockSpins; ++i) {
        if (sem_trywait(&sem) == 0)
            return;
    }
    while (sem_wait(&sem) != 0 && errno == EINTR) {
    }
}

void unlock(sem_t &sem)
{
    sem_post(&sem);
}

// Called under the lock, so a plain load and store suffice (no locked read-modify-write);
// the release store pairs with the acquire load of the unlocked tests.
void add_count(cir_queue_t &queue, int32_t delta)
{
    std::atomic_ref<int32_t> count(queue.count);
    count.store(count.load(std::memory_order_relaxed) + delta, std::memory_order_release);
}

int32_t advance(int32_t pos, int32_t capacity)
{
    return pos + 1 == capacity ? 0 : pos + 1;
}

bool empty(const cir_queue_t &queue)
{
    return queue_count(queue) < 1;
}
bool full(const cir_queue_t &queue)
{
    return queue_count(queue) >= std::atomic_ref<const int32_t>(queue.capacity).load(std::memory_order_relaxed);
}

void wait_for_byte(const cir_queue_t &queue)
{
    while (empty(queue))
        usleep(kQueuePollUs);
}

// Caller holds the lock and has seen a byte.
uint8_t take_locked(cir_queue_t &queue)
{
    const uint8_t b = queue.storage[queue.head];
    queue.head = advance(queue.head, queue.capacity);
    add_count(queue, -1);
    return b;
}

// Caller holds the lock and has seen room.
void put_locked(cir_queue_t &queue, uint8_t b)
{
    queue.storage[queue.tail] = b;
    queue.tail = advance(queue.tail, queue.capacity);
    add_count(queue, 1);
}

} // namespace

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
    wait_for_byte(*queue);
    lock(queue->lock);
    const uint8_t b = take_locked(*queue);
    unlock(queue->lock);
    return b;
}

extern "C" LEP3_API void enqueue_multi(cir_queue_t *queue, const uint8_t *src, int32_t len)
{
    for (int32_t i = 0; i < len; ++i) {
        while (full(*queue)) {
            lep3::console::put_line("\n\nuart_queue is full\n");
            usleep(kQueuePollUs);
        }
        lock(queue->lock);
        put_locked(*queue, src[i]);
        unlock(queue->lock);
    }
}

extern "C" LEP3_API int32_t dequeue_multi(cir_queue_t *queue, uint8_t *dst, int32_t len)
{
    if (dst == nullptr) {
        lep3::console::put_line("Source point of dequeue_multi() is NULL! ");
        return -1;
    }
    for (int32_t i = 0; i < len; ++i) {
        wait_for_byte(*queue);
        lock(queue->lock);
        dst[i] = take_locked(*queue);
        unlock(queue->lock);
    }
    return len;
}
