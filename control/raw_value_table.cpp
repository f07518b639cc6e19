// Copying a frame's entries out of a table of one entry per raw value.
#include "control/raw_value_table.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "render/render_internal.h"
#include "render/vector_level.h"

namespace lep3::control {

namespace {

using lep3::render::kFramePixels;

// A load and a store a pixel. The vectoriser won't gather on its own (its cost model
// keeps gathers off for generic processors), so the AVX2 variant below gathers by hand.
uint32_t copy_each(const uint32_t *bits, const uint16_t *raw, float *out)
{
    uint32_t largest = 0;
#pragma GCC unroll 8
    for (size_t i = 0; i < kFramePixels; ++i) {
        const uint32_t entry = bits[raw[i]];
        std::memcpy(&out[i], &entry, sizeof(entry));
        largest = entry > largest ? entry : largest;
    }
    return largest;
}

#if defined(__x86_64__)
// Eight pixels an instruction: widen their raw values, gather their entries, store them.
LEP3_TARGET_AVX2 uint32_t copy_gathered(const uint32_t *bits, const uint16_t *raw, float *out)
{
    constexpr size_t kLanes = 8;
    static_assert(kFramePixels % kLanes == 0);
    const auto *table = reinterpret_cast<const int *>(bits);
    __m256i top = _mm256_setzero_si256();
    for (size_t i = 0; i < kFramePixels; i += kLanes) {
        const __m256i index = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(raw + i)));
        const __m256i entry = _mm256_i32gather_epi32(table, index, sizeof(uint32_t));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i), entry);
        top = _mm256_max_epu32(top, entry);
    }
    __m128i half = _mm_max_epu32(_mm256_castsi256_si128(top), _mm256_extracti128_si256(top, 1));
    half = _mm_max_epu32(half, _mm_shuffle_epi32(half, _MM_SHUFFLE(1, 0, 3, 2)));
    half = _mm_max_epu32(half, _mm_shuffle_epi32(half, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(half));
}
#endif

} // namespace

uint32_t copy_entries(const uint32_t *bits, const uint16_t *raw, float *out)
{
#if defined(__x86_64__)
    if (lep3::render::vector_level() == lep3::render::VectorLevel::avx2)
        return copy_gathered(bits, raw, out);
#endif
    return copy_each(bits, raw, out);
}

} // namespace lep3::control
