// Which vector unit the per-frame loops run on: decided once from the processor.
#include <atomic>

#include "render/vector_level.h"

namespace lep3::render {

namespace {

VectorLevel detect()
{
#if defined(__x86_64__)
    // The compiler's processor model checks the operating system's register saving too.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2"))
        return VectorLevel::avx2;
#endif
    return VectorLevel::baseline;
}

// Negative until the first call decides (constant-initialised, so a conversion called
// from another file's static initialiser still finds it).
std::atomic<int32_t> level_in_use{-1};

} // namespace

VectorLevel best_vector_level()
{
    static const VectorLevel best = detect();
    return best;
}

VectorLevel vector_level()
{
    const int32_t level = level_in_use.load(std::memory_order_relaxed);
    if (level >= 0)
        return static_cast<VectorLevel>(level);
    const VectorLevel best = best_vector_level();
    int32_t undecided = -1;
    level_in_use.compare_exchange_strong(undecided, static_cast<int32_t>(best), std::memory_order_relaxed);
    return static_cast<VectorLevel>(level_in_use.load(std::memory_order_relaxed));
}

bool set_vector_level(VectorLevel level)
{
    if (static_cast<int32_t>(level) > static_cast<int32_t>(best_vector_level()))
        return false;
    level_in_use.store(static_cast<int32_t>(level), std::memory_order_relaxed);
    return true;
}

} // namespace lep3::render
