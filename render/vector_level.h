// The per-frame loops are written once, as plain loops the compiler vectorises, and
// compiled once per vector unit the processor may have; each call runs the widest one this
// processor offers. Every level computes the same bytes (integer work, or float work done
// lane by lane in the same order), so the choice changes speed alone.
#pragma once

#include <cstdint>

namespace lep3::render {

// 512-bit vectors are left out on purpose: on processors that split them in two they run no
// faster than AVX2, and on others they lower the clock of the whole core, the host's
// application included.
enum class VectorLevel : int32_t {
    baseline = 0, // what every processor of the build's architecture has (SSE2, NEON)
    avx2 = 1,     // x86-64: 256-bit integer vectors
};

// The widest level the processor and its operating system support.
VectorLevel best_vector_level();
// The level the loops run at: the best one unless set_vector_level chose a narrower one.
VectorLevel vector_level();
// For tests and benchmarks that compare the levels. A level above the best is refused
// (false, nothing changed).
bool set_vector_level(VectorLevel level);

// Target attribute of the wider variant: AVX2 alone, without FMA, so no float expression is
// contracted differently from the baseline's. On other architectures the variant is a
// plain copy that vector_level() never picks.
#if defined(__x86_64__)
#define LEP3_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define LEP3_TARGET_AVX2
#endif

namespace vector_variants {
// Body must be an always-inline function: it is compiled into each variant with the
// variant's instruction set. The variants stay out of line, so every one sees its
// arguments alike (a loop's vector pattern may depend on what the caller's constants fold).
template <auto Body, typename... Args> [[gnu::noinline]] void baseline(Args... args)
{
    Body(args...);
}
template <auto Body, typename... Args> [[gnu::noinline]] LEP3_TARGET_AVX2 void avx2(Args... args)
{
    Body(args...);
}
} // namespace vector_variants

// Runs Body at the vector level in use.
template <auto Body, typename... Args> void run_vectorised(Args... args)
{
    if (vector_level() == VectorLevel::avx2)
        vector_variants::avx2<Body>(args...);
    else
        vector_variants::baseline<Body>(args...);
}

} // namespace lep3::render
