// Progress of a firmware update: one aligned 32-bit word written by the updating thread and
// read by any other host thread without a lock. Relaxed ordering is enough: a reader only
// needs to see either the old or the new value, and no other data hangs off it.
#include <atomic>
#include <cstdint>

#include "lep3.h"
#include "update/update_internal.h"

namespace {

constexpr int32_t kProgressComplete = 100;

} // namespace

extern "C" {
alignas(std::atomic_ref<int32_t>::required_alignment) LEP3_API int32_t rate_of_progress = 0;
}

extern "C" LEP3_API int32_t set_rate_of_progress(int32_t value)
{
    // Per cent never reads above 100; the negative failure codes are kept as given.
    const int32_t stored = value > kProgressComplete ? kProgressComplete : value;
    std::atomic_ref<int32_t>(rate_of_progress).store(stored, std::memory_order_relaxed);
    return stored;
}

extern "C" LEP3_API int32_t get_rate_of_progress(void)
{
    return std::atomic_ref<int32_t>(rate_of_progress).load(std::memory_order_relaxed);
}

namespace {

std::atomic<uint64_t> blocks{0}; // acknowledged in the high half, total in the low half

} // namespace

void lep3::update::note_blocks(uint32_t acknowledged, uint32_t total)
{
    blocks.store(uint64_t{acknowledged} << 32U | total, std::memory_order_relaxed);
}

extern "C" LEP3_API int LEP3_GetUpdateBlocks(uint32_t *acknowledged, uint32_t *total)
{
    if (acknowledged == nullptr || total == nullptr)
        return -5;
    const uint64_t both = blocks.load(std::memory_order_relaxed);
    *acknowledged = static_cast<uint32_t>(both >> 32U);
    *total = static_cast<uint32_t>(both);
    return 0;
}

extern "C" LEP3_API int LEP3_GetUpdateRate(int32_t *rate)
{
    if (rate == nullptr)
        return -5;
    *rate = get_rate_of_progress();
    return 0;
}
