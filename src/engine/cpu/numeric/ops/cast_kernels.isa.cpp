// The float32 -> 16-bit cast loops at one instruction-set level (compiled
// once per level with PELOR_ISA naming it). The binary16 rounding is the
// engine's own (F16Blocks: VCVTPS2PH where the level has F16C), the bfloat16
// rounding the engine's integer rule; these loops replace NaN lanes with the
// casts' NaNs and collect the events the casts report. The scalar forms
// below define the result; the vector forms compute the same per lane.
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "engine/cpu/elementwise/half_conversions.hpp"
#include "engine/cpu/numeric/ops/cast_kernels.hpp"

namespace pelor::isa::PELOR_ISA {

namespace {

using engine::cpu::elementwise::BF16Blocks;
using engine::cpu::elementwise::F16Blocks;
using engine::cpu::numeric::ops::cast_invalid;
using engine::cpu::numeric::ops::cast_overflow;
using engine::cpu::numeric::ops::cast_underflow;
using std::size_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;

// Magnitude bounds, as bit patterns of |x|.
constexpr u32 f32_inf = 0x7F800000u;           // above: NaN
constexpr u32 f16_rounds_to_inf = 0x477FF000u;  // 65520 and up round to infinity
constexpr u32 f16_min_normal = 0x38800000u;     // 2^-14: below, the result is subnormal or zero
constexpr u32 quiet_bit = 0x00400000u;

u32 bits_of(float f) { return __builtin_bit_cast(u32, f); }

// ---- scalar forms ----------------------------------------------------------

// A NaN keeps its sign and upper ten payload bits, unquieted; if those are
// all zero the payload becomes 1, so the result is still a NaN (NumPy's
// software conversion, which it uses on x86-64).
[[maybe_unused]] u16 f16_nan(u32 x) {
    const u32 payload = (x >> 13) & 0x3FFu;
    return u16(((x >> 16) & 0x8000u) | 0x7C00u | (payload == 0 ? 1u : payload));
}

u16 f16_one(float f, unsigned& events) {
    const u32 x = bits_of(f), ax = x & 0x7FFFFFFFu;
#if defined(__aarch64__)
    // NumPy converts with the processor's FCVT here, which quiets a
    // signalling NaN (upper payload bits kept) and raises invalid.
    if (ax > f32_inf) {
        if (!(x & quiet_bit)) events |= cast_invalid;
        return F16Blocks::narrow1(f);
    }
#else
    if (ax > f32_inf) return f16_nan(x);
#endif
    const u16 h = F16Blocks::narrow1(f);
    if (ax >= f16_rounds_to_inf && ax < f32_inf) events |= cast_overflow;
    // Below the normal range, any value that is not exact underflows.
    if (ax != 0 && ax < f16_min_normal && F16Blocks::widen1(h) != f) events |= cast_underflow;
    return h;
}

u16 bf16_one(float f, unsigned& events) {
    const u32 x = bits_of(f), ax = x & 0x7FFFFFFFu;
    if (ax <= f32_inf) return BF16Blocks::narrow1(f);
    if (!(x & quiet_bit)) events |= cast_invalid;
    return u16(((x >> 16) & 0x8000u) | 0x7FC0u);
}

// ---- vector forms ------------------------------------------------------------

#if defined(__AVX512F__)

// Lanes outside the plain range (NaN, overflow, possible underflow) are rare;
// one mask test sends a vector that has any to the exact scalar forms.
size_t f16_vector(const float* in, u16* out, size_t n, unsigned& events) {
    const __m512i abs_mask = _mm512_set1_epi32(0x7FFFFFFF);
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m512 v = _mm512_loadu_ps(in + i);
        const __m512i ax = _mm512_and_si512(_mm512_castps_si512(v), abs_mask);
        const __mmask16 big = _mm512_cmpge_epu32_mask(ax, _mm512_set1_epi32(f16_rounds_to_inf));
        const __mmask16 tiny = _mm512_cmplt_epu32_mask(_mm512_sub_epi32(ax, _mm512_set1_epi32(1)),
                                                       _mm512_set1_epi32(f16_min_normal - 1));
        if (_kortestz_mask16_u8(big, tiny)) [[likely]] {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                                _mm512_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
        } else {
            for (size_t k = i; k < i + 16; ++k) out[k] = f16_one(in[k], events);
        }
    }
    return i;
}

#elif defined(__AVX2__)

size_t f16_vector(const float* in, u16* out, size_t n, unsigned& events) {
    const __m256i abs_mask = _mm256_set1_epi32(0x7FFFFFFF);
    // |x| is a non-negative int32, so signed comparisons order it correctly.
    __m256i overflow = _mm256_setzero_si256(), underflow = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v = _mm256_loadu_ps(in + i);
        __m128i h = _mm256_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT);
        const __m256i x = _mm256_castps_si256(v);
        const __m256i ax = _mm256_and_si256(x, abs_mask);
        overflow = _mm256_or_si256(overflow, _mm256_and_si256(_mm256_cmpgt_epi32(ax, _mm256_set1_epi32(f16_rounds_to_inf - 1)),
                                                              _mm256_cmpgt_epi32(_mm256_set1_epi32(f32_inf), ax)));
        const __m256i tiny = _mm256_and_si256(_mm256_cmpgt_epi32(ax, _mm256_setzero_si256()),
                                              _mm256_cmpgt_epi32(_mm256_set1_epi32(f16_min_normal), ax));
        const __m256i inexact = _mm256_castps_si256(_mm256_cmp_ps(_mm256_cvtph_ps(h), v, _CMP_NEQ_UQ));
        underflow = _mm256_or_si256(underflow, _mm256_and_si256(tiny, inexact));
        const __m256i nan = _mm256_cmpgt_epi32(ax, _mm256_set1_epi32(f32_inf));
        if (!_mm256_testz_si256(nan, nan)) [[unlikely]] {
            alignas(32) u16 lanes[8];
            _mm_store_si128(reinterpret_cast<__m128i*>(lanes), h);
            for (size_t k = 0; k < 8; ++k)
                if ((bits_of(in[i + k]) & 0x7FFFFFFFu) > f32_inf) lanes[k] = f16_nan(bits_of(in[i + k]));
            h = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), h);
    }
    if (!_mm256_testz_si256(overflow, overflow)) events |= cast_overflow;
    if (!_mm256_testz_si256(underflow, underflow)) events |= cast_underflow;
    return i;
}

#else

size_t f16_vector(const float*, u16*, size_t, unsigned&) { return 0; }

#endif

// The avx512_bf16 level only; at avx512 the AVX2 loop below runs.
#if defined(__AVX512BF16__)

// Hardware bfloat16 rounding (VCVTNE2PS2BF16) is the integer rule for normal
// numbers, zeros and infinities; it reads subnormal inputs as zero and keeps
// NaN payloads, so vectors with either take the exact scalar forms.
size_t bf16_vector(const float* in, u16* out, size_t n, unsigned& events) {
    const __m512i abs_mask = _mm512_set1_epi32(0x7FFFFFFF);
    const auto unusual = [&](__m512 v) {
        const __m512i ax = _mm512_and_si512(_mm512_castps_si512(v), abs_mask);
        return __mmask16(_mm512_cmpgt_epu32_mask(ax, _mm512_set1_epi32(f32_inf)) |
                         _mm512_cmplt_epu32_mask(_mm512_sub_epi32(ax, _mm512_set1_epi32(1)),
                                                 _mm512_set1_epi32(0x007FFFFF)));
    };
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m512 a = _mm512_loadu_ps(in + i);
        const __m512 b = _mm512_loadu_ps(in + i + 16);
        if (_kortestz_mask16_u8(unusual(a), unusual(b))) [[likely]] {
            _mm512_storeu_si512(out + i, __m512i(_mm512_cvtne2ps_pbh(b, a)));
        } else {
            for (size_t k = i; k < i + 32; ++k) out[k] = bf16_one(in[k], events);
        }
    }
    return i;
}

#elif defined(__AVX2__)

__m256i bf16_lanes(__m256i x, __m256i& signalling) {
    const __m256i upper = _mm256_srli_epi32(x, 16);
    const __m256i bias = _mm256_add_epi32(_mm256_set1_epi32(0x7FFF), _mm256_and_si256(upper, _mm256_set1_epi32(1)));
    const __m256i rounded = _mm256_srli_epi32(_mm256_add_epi32(x, bias), 16);
    const __m256i ax = _mm256_and_si256(x, _mm256_set1_epi32(0x7FFFFFFF));
    const __m256i nan = _mm256_cmpgt_epi32(ax, _mm256_set1_epi32(f32_inf));
    const __m256i quiet = _mm256_cmpeq_epi32(_mm256_and_si256(x, _mm256_set1_epi32(quiet_bit)), _mm256_set1_epi32(quiet_bit));
    signalling = _mm256_or_si256(signalling, _mm256_andnot_si256(quiet, nan));
    const __m256i canonical = _mm256_or_si256(_mm256_and_si256(upper, _mm256_set1_epi32(0x8000)),
                                              _mm256_set1_epi32(0x7FC0));
    return _mm256_blendv_epi8(rounded, canonical, nan);
}

size_t bf16_vector(const float* in, u16* out, size_t n, unsigned& events) {
    __m256i signalling = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256i a = bf16_lanes(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i)), signalling);
        const __m256i b = bf16_lanes(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 8)), signalling);
        // packus works per 128-bit half; the permutation restores the order.
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0b11011000);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), packed);
    }
    if (!_mm256_testz_si256(signalling, signalling)) events |= cast_invalid;
    return i;
}

#else

size_t bf16_vector(const float*, u16*, size_t, unsigned&) { return 0; }

#endif

unsigned f32_to_f16(const float* in, u16* out, size_t n) {
    unsigned events = 0;
    for (size_t i = f16_vector(in, out, n, events); i < n; ++i) out[i] = f16_one(in[i], events);
    return events;
}

unsigned f32_to_bf16(const float* in, u16* out, size_t n) {
    unsigned events = 0;
    for (size_t i = bf16_vector(in, out, n, events); i < n; ++i) out[i] = bf16_one(in[i], events);
    return events;
}

}  // namespace

PELOR_KERNEL_TABLE_DEFINE(cast_kernels) = {f32_to_f16, f32_to_bf16};

}  // namespace pelor::isa::PELOR_ISA
