// The byte queue's per-byte steps, inline: the parser loop takes every byte through them,
// so they sit where its pass can fold them in, calls and all. byte_queue.cpp builds the
// exported queue functions from the same steps.
//
// Every change of the record happens under the queue's semaphore, taken once per byte; the
// full and empty tests read count without it. Only the producer raises count and only the
// consumer lowers it, so a stale count can only make a test wait one poll longer.
#pragma once

#include <semaphore.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "link/link_internal.h"

namespace lep3::link::byte_queue {

// The semaphore, when sem_trywait finds it taken: a short spin, then a blocking wait.
void lock_contended(sem_t &sem);

// Uncontended (the other side holds the lock for a few instructions only): one sem_trywait.
inline void lock(sem_t &sem)
{
    if (sem_trywait(&sem) != 0) [[unlikely]]
        lock_contended(sem);
}

inline void unlock(sem_t &sem)
{
    sem_post(&sem);
}

// Called under the lock, so a plain load and store suffice (no locked read-modify-write);
// the release store pairs with the acquire load of the unlocked tests.
inline void add_count(cir_queue_t &queue, int32_t delta)
{
    std::atomic_ref<int32_t> count(queue.count);
    count.store(count.load(std::memory_order_relaxed) + delta, std::memory_order_release);
}

inline int32_t advance(int32_t pos, int32_t capacity)
{
    return pos + 1 == capacity ? 0 : pos + 1;
}

inline bool empty(const cir_queue_t &queue)
{
    return queue_count(queue) < 1;
}

// Sleeps a poll at a time until the queue holds a byte.
void wait_for_byte(const cir_queue_t &queue);

// Caller holds the lock and has seen a byte.
inline uint8_t take_locked(cir_queue_t &queue)
{
    const uint8_t b = queue.storage[queue.head];
    queue.head = advance(queue.head, queue.capacity);
    add_count(queue, -1);
    return b;
}

// dequeue_single: wait for a byte, then take it under the lock.
inline uint8_t take_byte(cir_queue_t &queue)
{
    if (empty(queue))
        wait_for_byte(queue);
    lock(queue.lock);
    const uint8_t b = take_locked(queue);
    unlock(queue.lock);
    return b;
}

} // namespace lep3::link::byte_queue
