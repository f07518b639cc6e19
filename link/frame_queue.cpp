// The frame queue: four slots with latest-frame delivery from the parser to one host
// thread. The writer never waits and overwrites the oldest slot; the reader always gets
// the newest frame it has not had yet.
//
// The lock only makes the update of last_pos and write_pos atomic as a pair. The reader
// polls both positions and the newest slot's frame number without it, so those words are
// written with release and read with acquire ordering through std::atomic_ref: a reader
// that sees a new last_pos also sees the frame copied into that slot.
#include <semaphore.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "link/console.h"
#include "link/link_internal.h"

using lep3::link::kFrameSlots;
using lep3::link::link_counters;

extern "C" {
LEP3_API frame_queue_t frame_queue;
LEP3_API uint32_t last_delivered;
}

namespace {

// Each slot is allocated with a small prefix that records its size, so the writer can
// refuse a frame larger than its slot without a field in the exported record.
constexpr size_t kSlotPrefix = alignof(std::max_align_t);

uint8_t *allocate_slot(int32_t slot_size)
{
    const size_t size = slot_size > 0 ? static_cast<size_t>(slot_size) : 0;
    auto *block = static_cast<uint8_t *>(std::calloc(kSlotPrefix + size, 1));
    if (block == nullptr)
        return nullptr;
    std::memcpy(block, &size, sizeof size);
    return block + kSlotPrefix;
}

size_t slot_capacity(const uint8_t *slot)
{
    size_t size = 0;
    std::memcpy(&size, slot - kSlotPrefix, sizeof size);
    return size;
}

void free_slot(uint8_t *slot)
{
    if (slot != nullptr)
        std::free(slot - kSlotPrefix);
}

int32_t load(const int32_t &word)
{
    return std::atomic_ref<int32_t>(const_cast<int32_t &>(word)).load(std::memory_order_acquire);
}
void store(int32_t &word, int32_t value)
{
    std::atomic_ref<int32_t>(word).store(value, std::memory_order_release);
}
uint32_t load(const uint32_t &word)
{
    return std::atomic_ref<uint32_t>(const_cast<uint32_t &>(word)).load(std::memory_order_acquire);
}
void store(uint32_t &word, uint32_t value)
{
    std::atomic_ref<uint32_t>(word).store(value, std::memory_order_release);
}

void copy_desc(frame_desc_t &to, const frame_desc_t &from)
{
    to.reserved = from.reserved;
    to.format = from.format;
    to.width = from.width;
    to.height = from.height;
    to.size = from.size;
    store(to.frame_number, from.frame_number);
}

// The host's copy out of a slot is finished before the writer comes back to that slot
// (three frames later). This word carries that order between the two threads: the host
// bumps it after each copy, the writer reads it before each write.
std::atomic<uint32_t> copies_out{0};

void lock(sem_t &sem)
{
    while (sem_wait(&sem) != 0 && errno == EINTR) {
    }
}

// The frame that was newest until now is superseded: if the host has not taken it, it
// never will be.
void count_superseded(const frame_queue_t &queue, int32_t newest)
{
    const uint32_t number = load(queue.slot_desc[newest].frame_number);
    if (number != load(last_delivered))
        lep3::link::bump(link_counters.frames_overwritten);
}

} // namespace

// Facts per slot for the session: when each frame was queued and whether its check byte
// matched, and a wake-up for threads waiting for the next frame.
namespace {

struct SlotFacts {
    std::atomic<uint64_t> completed_ns{0};
    std::atomic<int32_t> check{static_cast<int32_t>(lep3::link::FrameCheck::pending)};
};
std::array<SlotFacts, kFrameSlots> slot_facts;

std::mutex event_lock;
std::condition_variable event;
uint64_t event_count = 0; // guarded by event_lock

uint64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000U + static_cast<uint64_t>(now.tv_nsec);
}

void signal_frame_event()
{
    {
        const std::lock_guard<std::mutex> guard(event_lock);
        ++event_count;
    }
    event.notify_all();
}

void record_queued(int32_t pos)
{
    slot_facts[pos].check.store(static_cast<int32_t>(lep3::link::FrameCheck::pending), std::memory_order_relaxed);
    slot_facts[pos].completed_ns.store(monotonic_ns(), std::memory_order_release);
}

} // namespace

extern "C" LEP3_API int frame_queue_init(frame_queue_t *queue, int32_t slot_size, int32_t height, int32_t width)
{
    queue->capacity = kFrameSlots;
    lep3::console::print("frameQueue size:%d\n", queue->capacity);
    for (int i = 0; i < kFrameSlots; ++i) {
        queue->slot[i] = allocate_slot(slot_size);
        if (queue->slot[i] == nullptr) {
            lep3::console::put_line("Frame queue init failed!");
            return -1;
        }
        queue->slot_desc[i].height = static_cast<uint32_t>(height);
        queue->slot_desc[i].width = static_cast<uint32_t>(width);
        store(queue->slot_desc[i].frame_number, 0);
    }
    store(queue->write_pos, 0);
    store(queue->last_pos, 0);
    queue->count = 0;
    sem_init(&queue->lock, 0, 1);
    return 0;
}

extern "C" LEP3_API int frame_queue_is_empty(frame_queue_t *queue)
{
    return queue->count <= 0 ? 1 : 0;
}

extern "C" LEP3_API int frame_queue_is_full(frame_queue_t *queue)
{
    return queue->count >= queue->capacity ? 1 : 0;
}

extern "C" LEP3_API int frame_enqueue(frame_queue_t *queue, const uint8_t *frame_data, const frame_desc_t *desc)
{
    copies_out.load(std::memory_order_acquire);
    const int32_t pos = load(queue->write_pos);
    uint8_t *slot = queue->slot[pos];
    if (slot == nullptr || desc->size > slot_capacity(slot))
        return -1;

    // The slot at write_pos is not the one a reader may be examining (that is last_pos),
    // so the copies need no lock.
    std::memcpy(slot, frame_data, desc->size);
    copy_desc(queue->slot_desc[pos], *desc);

    const int32_t previous = load(queue->last_pos);
    const bool had_frame = previous != pos;
    if (queue == &frame_queue)
        record_queued(pos);
    lock(queue->lock);
    store(queue->last_pos, pos);
    store(queue->write_pos, pos + 1 == queue->capacity ? 0 : pos + 1);
    sem_post(&queue->lock);
    if (had_frame)
        count_superseded(*queue, previous);
    return 0;
}

extern "C" LEP3_API int frame_dequeue(frame_queue_t *queue, uint8_t **slot_out, frame_desc_t *desc_out)
{
    // The waits below poll on the host's thread: with the frame wait's pause while they do.
    const lep3::link::FrameWaitPause pause;
    // Nothing written since initialisation: both positions still agree.
    while (load(queue->last_pos) == load(queue->write_pos))
        usleep(lep3::link::poll_pause());

    // Always examine the newest slot, so a frame overwritten meanwhile is skipped.
    int32_t pos = load(queue->last_pos);
    while (load(queue->slot_desc[pos].frame_number) == last_delivered) {
        usleep(lep3::link::poll_pause());
        pos = load(queue->last_pos);
    }

    *slot_out = queue->slot[pos];
    const frame_desc_t &desc = queue->slot_desc[pos];
    desc_out->reserved = desc.reserved;
    desc_out->format = desc.format;
    desc_out->width = desc.width;
    desc_out->height = desc.height;
    desc_out->size = desc.size;
    desc_out->frame_number = load(desc.frame_number);
    store(last_delivered, desc_out->frame_number);
    return 0;
}

extern "C" LEP3_API void frame_queue_free(frame_queue_t *queue)
{
    for (int i = 0; i < kFrameSlots; ++i) {
        free_slot(queue->slot[i]);
        queue->slot[i] = nullptr;
        queue->slot_desc[i] = frame_desc_t{};
    }
    queue->count = 0;
    queue->capacity = 0;
    store(queue->last_pos, 0);
    store(queue->write_pos, 0);
}

extern "C" LEP3_API int LEP3_SendFrameToQueue(const uint8_t *frame_data, const frame_desc_t *desc)
{
    if (frame_enqueue(&frame_queue, frame_data, desc) != 0) {
        lep3::console::put_line("LEP3 SendFrame error, frame queue is full!");
        return -1;
    }
    return 0;
}

extern "C" LEP3_API int LEP3_GetFrameFromQueue(uint8_t *buffer, uint32_t *width, uint32_t *height, uint32_t *format,
                                               uint32_t *size, uint32_t *frame_number)
{
    uint8_t *slot = nullptr;
    frame_desc_t desc{};
    frame_dequeue(&frame_queue, &slot, &desc);
    if (slot == nullptr) {
        lep3::console::put_line("Get frame address error!");
        return -1;
    }
    std::memcpy(buffer, slot, desc.size);
    copies_out.fetch_add(1, std::memory_order_release);
    *width = desc.width;
    *height = desc.height;
    *format = desc.format;
    *size = desc.size;
    *frame_number = desc.frame_number;
    return 0;
}

// ---------------------------------------------------------------------------------------
// The session's view of the queue.

namespace lep3::link {

void note_frame_check(bool matched)
{
    const int32_t pos = load(frame_queue.last_pos);
    const FrameCheck check = matched ? FrameCheck::matched : FrameCheck::mismatched;
    slot_facts[pos].check.store(static_cast<int32_t>(check), std::memory_order_release);
    signal_frame_event();
}

namespace {

// The newest slot when it holds a frame the host has not had, else -1.
int32_t newest_undelivered(const frame_queue_t &queue)
{
    if (queue.slot[0] == nullptr || load(queue.last_pos) == load(queue.write_pos))
        return -1;
    const int32_t pos = load(queue.last_pos);
    return load(queue.slot_desc[pos].frame_number) != load(last_delivered) ? pos : -1;
}

FrameFacts facts_of(int32_t pos)
{
    return {slot_facts[pos].completed_ns.load(std::memory_order_acquire),
            static_cast<FrameCheck>(slot_facts[pos].check.load(std::memory_order_acquire))};
}

} // namespace

bool peek_newest_frame(FrameFacts &facts)
{
    const int32_t pos = newest_undelivered(frame_queue);
    if (pos < 0)
        return false;
    facts = facts_of(pos);
    return true;
}

int take_newest_frame(std::span<uint8_t> buffer, frame_desc_t &desc, FrameFacts &facts)
{
    const int32_t pos = newest_undelivered(frame_queue);
    if (pos < 0)
        return 0;
    const frame_desc_t &slot_desc = frame_queue.slot_desc[pos];
    if (slot_desc.size > buffer.size())
        return -3;
    desc = slot_desc;
    desc.frame_number = load(slot_desc.frame_number);
    facts = facts_of(pos);
    std::memcpy(buffer.data(), frame_queue.slot[pos], desc.size);
    copies_out.fetch_add(1, std::memory_order_release);
    store(last_delivered, desc.frame_number);
    return 1;
}

uint64_t frame_events()
{
    const std::lock_guard<std::mutex> guard(event_lock);
    return event_count;
}

void wait_for_frame_event(uint64_t seen, std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock<std::mutex> guard(event_lock);
    const auto moved = [&] { return event_count != seen; };
    if (deadline == std::chrono::steady_clock::time_point::max())
        event.wait(guard, moved);
    else
        event.wait_until(guard, deadline, moved);
}

void wake_frame_waiters()
{
    signal_frame_event();
}

} // namespace lep3::link
