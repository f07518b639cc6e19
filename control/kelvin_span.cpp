// Kelvin of a span of consecutive raw values at once, in vector lanes, bit for bit. The
// quotient and the sum are the formula's own single-precision operations; the logarithm is
// approximated (exponent split off, ln m = 2 atanh((m - 1) / (m + 1)) by its series to
// s^15, for m in [sqrt(1/2), sqrt(2)): relative error below 2^-44, well within kDoubtUlps).
// A value whose float rounding the approximation can't settle (the exact quotient B / ln u
// might round to another float within the margin), or whose u is no positive normal float,
// is left unknown for the formula itself, so every entry is the formula's.
#include "control/kelvin_span.h"

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "control/control_internal.h"
#include "control/raw_value_table.h"
#include "render/vector_level.h"

namespace lep3::control {

namespace {

constexpr double kLn2 = 0x1.62e42fefa39efp-1;
constexpr uint64_t kSqrtHalfBits = 0x3FE6A09E667F3BCDULL;
constexpr uint64_t kExponentBias = uint64_t{1023} << 52;
constexpr uint64_t kTwoTo52Bits = 0x4330000000000000ULL; // 2^52: an integer below it in its low bits
// A double rounds to a float at its 29 low bits: from 2^28 on, upwards. A value whose low
// bits lie within kDoubtUlps of that boundary may round otherwise than the formula's own
// quotient (within 2^-44 relative, some 2^9 units of the last place): it is in doubt.
constexpr uint64_t kFloatRoundingBits = (uint64_t{1} << 29) - 1;
constexpr uint64_t kFloatHalfway = uint64_t{1} << 28;
constexpr uint64_t kDoubtUlps = uint64_t{1} << 17;

// Four lanes, as GCC's vector extensions: the float lanes of the formula's quotient and
// sum, and the double lanes of the logarithm and the division (two SSE registers each at
// the baseline, one AVX register each with AVX2).
constexpr size_t kLanes = 4;
using Floats = float __attribute__((vector_size(kLanes * sizeof(float))));
using Ints = int32_t __attribute__((vector_size(kLanes * sizeof(int32_t))));
using Doubles = double __attribute__((vector_size(kLanes * sizeof(double))));
using Words = uint64_t __attribute__((vector_size(kLanes * sizeof(uint64_t))));
using Masks = int64_t __attribute__((vector_size(kLanes * sizeof(int64_t))));

// The lanes of one vector type read as another of the same size. (std::bit_cast would return
// the vector by value, through a different ABI with and without AVX.)
template <typename To, typename From> [[gnu::always_inline]] inline void reinterpret(const From &from, To &to)
{
    static_assert(sizeof(To) == sizeof(From));
    std::memcpy(&to, &from, sizeof to);
}

// ln x for positive normal lanes, within 2^-44 relative (the series' next term, s^16 / 17,
// is below 2^-44 of the sum). (By reference: vectors passed by
// value would take a different ABI with and without AVX.)
[[gnu::always_inline]] inline void ln_approx(const Doubles &x, Doubles &ln)
{
    Words bits;
    reinterpret(x, bits);
    // x = m 2^k with m in [sqrt(1/2), sqrt(2)); biased = k + 1023.
    const Words biased = (bits - kSqrtHalfBits + kExponentBias) >> 52;
    Doubles m;
    reinterpret(Words{bits - (biased << 52) + kExponentBias}, m);
    Doubles k;
    reinterpret(Words{biased | kTwoTo52Bits}, k);
    k = k - 0x1p52 - 1023.0;
    const Doubles s = (m - 1.0) / (m + 1.0);
    const Doubles s2 = s * s;
    Doubles p = s2 * (1.0 / 15) + 1.0 / 13;
    p = p * s2 + 1.0 / 11;
    p = p * s2 + 1.0 / 9;
    p = p * s2 + 1.0 / 7;
    p = p * s2 + 1.0 / 5;
    p = p * s2 + 1.0 / 3;
    p = p * s2 + 1.0;
    ln = k * kLn2 + 2.0 * s * p;
}

// Entries (float bits) for the raw values first .. last (first a multiple of kLanes, last
// one below the next) into bits[first ..], kUnknownEntry for those in doubt; any says
// whether there are such.
[[gnu::always_inline]] inline void fill(uint32_t *bits, uint32_t first, uint32_t last, float r, float o, uint32_t *any)
{
    const Ints step{0, 1, 2, 3};
    Ints doubt_seen{};
    for (uint32_t v = first; v <= last; v += kLanes) {
        const Ints raw = static_cast<int32_t>(v) + step;
        const Floats u = r / (__builtin_convertvector(raw, Floats) - o) + kRadiometricF;
        const Ints normal = (u >= FLT_MIN) & (u <= FLT_MAX);
        // Lanes without a positive normal u are settled by the formula; 2 keeps theirs tame.
        const Floats usable = normal != 0 ? u : Floats{} + 2.0F;
        Doubles ln;
        ln_approx(__builtin_convertvector(usable, Doubles), ln);
        const Doubles y = kRadiometricB / ln;
        Words y_bits;
        reinterpret(y, y_bits);
        const Words near_halfway = ((y_bits - kFloatHalfway + kDoubtUlps) & kFloatRoundingBits) < 2 * kDoubtUlps;
        Ints doubt;
        reinterpret(__builtin_convertvector(__builtin_convertvector(near_halfway, Masks), Ints) | ~normal, doubt);
        doubt_seen |= doubt;
        Ints entry;
        reinterpret(__builtin_convertvector(y, Floats), entry);
        entry |= doubt;
        std::memcpy(&bits[v], &entry, sizeof entry);
    }
    uint32_t lanes[kLanes];
    std::memcpy(lanes, &doubt_seen, sizeof lanes);
    uint32_t seen = 0;
    for (const uint32_t lane : lanes)
        seen |= lane;
    *any = static_cast<uint32_t>(seen != 0);
}

#if defined(__x86_64__)
// The same with AVX2 and fused multiply-adds, eight raw values a step: the float lanes of
// the quotient and the sum in one register, the double lanes of the logarithm in two. The
// series' error budget covers the fused roundings. A finite negative u has one entry
// whatever its value (ln of it is the invalid operation's NaN, and so is the quotient),
// the formula's own, given as negative_entry; the other lanes without a positive normal u
// are left unknown.
#define LEP3_TARGET_AVX2_FMA __attribute__((target("avx2,fma")))

LEP3_TARGET_AVX2_FMA inline __m256d ln_fused(__m256d x)
{
    const __m256i bits = _mm256_castpd_si256(x);
    // x = m 2^k with m in [sqrt(1/2), sqrt(2)); biased = k + 1023.
    const __m256i biased = _mm256_srli_epi64(
        _mm256_sub_epi64(bits, _mm256_set1_epi64x(std::bit_cast<int64_t>(kSqrtHalfBits - kExponentBias))), 52);
    const __m256d m = _mm256_castsi256_pd(_mm256_add_epi64(_mm256_sub_epi64(bits, _mm256_slli_epi64(biased, 52)),
                                                           _mm256_set1_epi64x(std::bit_cast<int64_t>(kExponentBias))));
    const __m256d k = _mm256_sub_pd(
        _mm256_castsi256_pd(_mm256_or_si256(biased, _mm256_set1_epi64x(std::bit_cast<int64_t>(kTwoTo52Bits)))),
        _mm256_set1_pd(0x1p52 + 1023.0));
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d s = _mm256_div_pd(_mm256_sub_pd(m, one), _mm256_add_pd(m, one));
    const __m256d s2 = _mm256_mul_pd(s, s);
    __m256d p = _mm256_fmadd_pd(s2, _mm256_set1_pd(1.0 / 15), _mm256_set1_pd(1.0 / 13));
    p = _mm256_fmadd_pd(p, s2, _mm256_set1_pd(1.0 / 11));
    p = _mm256_fmadd_pd(p, s2, _mm256_set1_pd(1.0 / 9));
    p = _mm256_fmadd_pd(p, s2, _mm256_set1_pd(1.0 / 7));
    p = _mm256_fmadd_pd(p, s2, _mm256_set1_pd(1.0 / 5));
    p = _mm256_fmadd_pd(p, s2, _mm256_set1_pd(1.0 / 3));
    p = _mm256_fmadd_pd(p, s2, one);
    return _mm256_fmadd_pd(k, _mm256_set1_pd(kLn2), _mm256_mul_pd(_mm256_add_pd(s, s), p));
}

// All ones in each lane of a quotient whose float rounding is in doubt.
LEP3_TARGET_AVX2_FMA inline __m256i in_doubt(__m256d y)
{
    const __m256i shift = _mm256_set1_epi64x(std::bit_cast<int64_t>(kDoubtUlps - kFloatHalfway));
    const __m256i low_bits = _mm256_and_si256(_mm256_add_epi64(_mm256_castpd_si256(y), shift),
                                              _mm256_set1_epi64x(static_cast<int64_t>(kFloatRoundingBits)));
    return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<int64_t>(2 * kDoubtUlps)), low_bits);
}

LEP3_TARGET_AVX2_FMA bool fill_fused(uint32_t *bits, uint32_t first, uint32_t last, float r, float o,
                                     uint32_t negative_entry)
{
    constexpr uint32_t kLanes = 8;
    const __m256 rv = _mm256_set1_ps(r);
    const __m256 ov = _mm256_set1_ps(o);
    const __m256 fv = _mm256_set1_ps(kRadiometricF);
    const __m256d b = _mm256_set1_pd(kRadiometricB);
    const __m256i step = _mm256_set1_epi32(kLanes);
    __m256i raw =
        _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(first)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    __m256i seen = _mm256_setzero_si256();
    for (uint32_t v = first; v <= last; v += kLanes, raw = _mm256_add_epi32(raw, step)) {
        const __m256 u = _mm256_add_ps(_mm256_div_ps(rv, _mm256_sub_ps(_mm256_cvtepi32_ps(raw), ov)), fv);
        const __m256 abnormal = _mm256_or_ps(_mm256_cmp_ps(u, _mm256_set1_ps(FLT_MIN), _CMP_NGE_UQ),
                                             _mm256_cmp_ps(u, _mm256_set1_ps(FLT_MAX), _CMP_NLE_UQ));
        const __m256 negative = _mm256_and_ps(_mm256_cmp_ps(u, _mm256_setzero_ps(), _CMP_LT_OQ),
                                              _mm256_cmp_ps(u, _mm256_set1_ps(-FLT_MAX), _CMP_GE_OQ));
        // Lanes without a positive normal u take 2, which keeps their arithmetic tame.
        const __m256 usable = _mm256_blendv_ps(u, _mm256_set1_ps(2.0F), abnormal);
        const __m256d y_low = _mm256_div_pd(b, ln_fused(_mm256_cvtps_pd(_mm256_castps256_ps128(usable))));
        const __m256d y_high = _mm256_div_pd(b, ln_fused(_mm256_cvtps_pd(_mm256_extractf128_ps(usable, 1))));
        // The doubt masks' 64-bit lanes are all ones or all zeros: their low halves narrow them.
        const __m256 pairs = _mm256_shuffle_ps(_mm256_castsi256_ps(in_doubt(y_low)),
                                               _mm256_castsi256_ps(in_doubt(y_high)), _MM_SHUFFLE(2, 0, 2, 0));
        const __m256i near = _mm256_permute4x64_epi64(_mm256_castps_si256(pairs), _MM_SHUFFLE(3, 1, 2, 0));
        const __m256i doubt =
            _mm256_andnot_si256(_mm256_castps_si256(negative), _mm256_or_si256(near, _mm256_castps_si256(abnormal)));
        const __m256i kelvin = _mm256_castps_si256(_mm256_set_m128(_mm256_cvtpd_ps(y_high), _mm256_cvtpd_ps(y_low)));
        const __m256i entry =
            _mm256_blendv_epi8(_mm256_or_si256(kelvin, doubt), _mm256_set1_epi32(static_cast<int32_t>(negative_entry)),
                               _mm256_castps_si256(negative));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(bits + v), entry);
        seen = _mm256_or_si256(seen, doubt);
    }
    return _mm256_testz_si256(seen, seen) == 0;
}

bool fused_available()
{
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }();
    return available;
}

// The formula's kelvin of a u, in its own operations.
float kelvin_of_u(float u)
{
    return static_cast<float>(kRadiometricB / std::log(static_cast<double>(u)));
}
#endif

} // namespace

bool fill_kelvin_span(uint32_t *bits, uint32_t low, uint32_t high, float r, float o)
{
#if defined(__x86_64__)
    if (lep3::render::vector_level() == lep3::render::VectorLevel::avx2 && fused_available())
        return fill_fused(bits, low, high, r, o, std::bit_cast<uint32_t>(kelvin_of_u(-1.0F)));
#endif
    uint32_t any = 0;
    lep3::render::run_vectorised<fill>(bits, low, high, r, o, &any);
    return any != 0;
}

} // namespace lep3::control
