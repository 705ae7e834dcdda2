#pragma once
// Exact conversions between binary32 and the 16-bit formats for *.isa.cpp
// files (compiled once per instruction-set level): one element at a time and
// in blocks (F16Blocks, BF16Blocks). Everything here has internal linkage, so
// each level keeps its own copy and the linker can never hand a wide level's
// code to a baseline caller. Ordinary source files use base/half.hpp (F16,
// BF16), whose conversions give the same bits.
//
// binary16 uses F16C (VCVTPH2PS / VCVTPS2PH) where the level has it, the
// Armv8-A conversions (FCVT) on aarch64 and the integer conversions of
// half.hpp at the x86-64 baseline. All round to nearest even and keep a NaN
// as a NaN with its sign and upper payload bits; the hardware also sets the
// quiet bit of a signalling NaN it widens, which the first arithmetic
// operation on it does anyway.
//
// bfloat16 is the upper half of binary32: widening is a shift. Narrowing
// rounds the upper half to nearest even; a NaN keeps its upper bits and gets
// the quiet bit 0x0040. Integer operations at every level (AVX2 and AVX-512
// intrinsics, plain loops at the baseline).
#ifndef PELOR_ISA
#error "half_conversions.hpp belongs to *.isa.cpp files"
#endif

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <bit>
#include <cstddef>
#include <cstdint>

#if !defined(__F16C__) && !defined(__aarch64__)
#include "base/half.hpp"  // x86-64 baseline and other targets: the integer binary16 conversions
#endif

namespace pelor::engine::cpu::elementwise {
namespace {

using std::size_t;

// ---- one element ---------------------------------------------------------------

#if defined(__F16C__)
inline float f16_widen(std::uint16_t h) { return _cvtsh_ss(h); }
inline std::uint16_t f16_narrow(float f) { return std::uint16_t(_cvtss_sh(f, _MM_FROUND_TO_NEAREST_INT)); }
#elif defined(__aarch64__)
inline float f16_widen(std::uint16_t h) { return float(__builtin_bit_cast(__fp16, h)); }
inline std::uint16_t f16_narrow(float f) { return __builtin_bit_cast(std::uint16_t, __fp16(f)); }
#else
// Only the baseline level gets here, whose flags are the module's own, so
// half.hpp's inline conversions are safe to share.
inline float f16_widen(std::uint16_t h) { return F16::from_bits(h).to_float(); }
inline std::uint16_t f16_narrow(float f) { return F16::from_float(f).bits; }
#endif

inline float bf16_widen(std::uint16_t b) { return __builtin_bit_cast(float, std::uint32_t(b) << 16); }

// For arithmetic: a NaN operand gets its quiet bit before it is used.
inline float bf16_widen_quiet(std::uint16_t b) {
    const std::uint32_t q = (b & 0x7FFFu) > 0x7F80u ? 0x40u : 0u;
    return bf16_widen(std::uint16_t(b | q));
}

// Branch-free so the loops vectorise.
inline std::uint16_t bf16_narrow(float f) {
    const std::uint32_t r = __builtin_bit_cast(std::uint32_t, f);
    const std::uint32_t rounded = (r + 0x7FFFu + ((r >> 16) & 1u)) >> 16;
    const std::uint32_t quiet = (r >> 16) | 0x40u;
    return std::uint16_t((r & 0x7FFFFFFFu) > 0x7F800000u ? quiet : rounded);
}

// binary64 to binary32 rounded to odd (this level's copy of half.hpp's
// round_to_odd_float): an inexact result becomes the neighbour toward zero
// with its last bit set, so that the 16-bit narrowing after it rounds the
// binary64 value only once.
inline float round_to_odd(double d) {
    const float f = float(d);
    std::uint32_t u = std::bit_cast<std::uint32_t>(f);
    const double back = double(f);
    const bool inexact = back != d && d == d;
    u -= std::uint32_t(inexact && (back > d) == (d > 0.0));
    u |= std::uint32_t(inexact);
    return std::bit_cast<float>(u);
}

#if defined(__AVX2__)
// Eight lanes of bfloat16 narrowing without the NaN rule: each lane's upper
// half rounded to nearest even (NaN lanes need their own result).
inline __m256i bf16_round8(__m256i x) {
    const __m256i upper = _mm256_srli_epi32(x, 16);
    const __m256i bias = _mm256_add_epi32(_mm256_set1_epi32(0x7FFF), _mm256_and_si256(upper, _mm256_set1_epi32(1)));
    return _mm256_srli_epi32(_mm256_add_epi32(x, bias), 16);
}
#endif

// ---- blocks ----------------------------------------------------------------------
//
// widen/narrow convert `n` dense elements; fused(a, b, out, n, op) widens two
// dense runs, applies a binary32 rule and narrows in registers.

struct F16Blocks {
    static float widen1(std::uint16_t h) { return f16_widen(h); }
    static std::uint16_t narrow1(float f) { return f16_narrow(f); }

#if defined(__F16C__)
    // Both operands contiguous: widen, operate and narrow in registers.
    template <class Op>
    static void fused(const std::uint16_t* __restrict a, const std::uint16_t* __restrict b, std::uint16_t* __restrict out,
                      size_t n, Op op) {
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            const __m256 x = _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)));
            const __m256 y = _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm256_cvtps_ph(op(x, y), _MM_FROUND_TO_NEAREST_INT));
        }
        for (; i < n; ++i) out[i] = narrow1(op(widen1(a[i]), widen1(b[i])));
    }

    // One operand contiguous (v), the other one value x, already widened, on
    // the left when XLeft: x stays in a register (16 lanes at AVX-512).
    template <bool XLeft, class Op>
    static void fused_broadcast(const std::uint16_t* __restrict v, float x, std::uint16_t* __restrict out, size_t n,
                                Op op) {
        size_t i = 0;
#if defined(__AVX512F__)
        const __m512 x16 = _mm512_set1_ps(x);
        for (; i + 16 <= n; i += 16) {
            const __m512 y = _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + i)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                                _mm512_cvtps_ph(XLeft ? op(x16, y) : op(y, x16), _MM_FROUND_TO_NEAREST_INT));
        }
#endif
        const __m256 x8 = _mm256_set1_ps(x);
        for (; i + 8 <= n; i += 8) {
            const __m256 y = _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                             _mm256_cvtps_ph(XLeft ? op(x8, y) : op(y, x8), _MM_FROUND_TO_NEAREST_INT));
        }
        for (; i < n; ++i) out[i] = narrow1(XLeft ? op(x, widen1(v[i])) : op(widen1(v[i]), x));
    }
#else
    template <class Op>
    static void fused(const std::uint16_t* __restrict a, const std::uint16_t* __restrict b, std::uint16_t* __restrict out,
                      size_t n, Op op) {
        for (size_t i = 0; i < n; ++i) out[i] = narrow1(op(widen1(a[i]), widen1(b[i])));
    }
    template <bool XLeft, class Op>
    static void fused_broadcast(const std::uint16_t* __restrict v, float x, std::uint16_t* __restrict out, size_t n,
                                Op op) {
        for (size_t i = 0; i < n; ++i) out[i] = narrow1(XLeft ? op(x, widen1(v[i])) : op(widen1(v[i]), x));
    }
#endif

#if defined(__AVX512F__)
    static void widen(const std::uint16_t* src, float* dst, size_t n) {
        size_t i = 0;
        for (; i + 16 <= n; i += 16)
            _mm512_storeu_ps(dst + i, _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i))));
        if (i < n) {
            const __mmask16 m = __mmask16((1u << (n - i)) - 1);
            _mm512_mask_storeu_ps(dst + i, m, _mm512_cvtph_ps(_mm256_maskz_loadu_epi16(m, src + i)));
        }
    }
    static void narrow(const float* src, std::uint16_t* dst, size_t n) {
        constexpr int rounding = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;
        size_t i = 0;
        for (; i + 16 <= n; i += 16)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), _mm512_cvtps_ph(_mm512_loadu_ps(src + i), rounding));
        if (i < n) {
            const __mmask16 m = __mmask16((1u << (n - i)) - 1);
            _mm256_mask_storeu_epi16(dst + i, m, _mm512_cvtps_ph(_mm512_maskz_loadu_ps(m, src + i), rounding));
        }
    }
#elif defined(__F16C__)
    static void widen(const std::uint16_t* src, float* dst, size_t n) {
        size_t i = 0;
        for (; i + 8 <= n; i += 8)
            _mm256_storeu_ps(dst + i, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i))));
        for (; i < n; ++i) dst[i] = widen1(src[i]);
    }
    static void narrow(const float* src, std::uint16_t* dst, size_t n) {
        size_t i = 0;
        for (; i + 8 <= n; i += 8)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                             _mm256_cvtps_ph(_mm256_loadu_ps(src + i), _MM_FROUND_TO_NEAREST_INT));
        for (; i < n; ++i) dst[i] = narrow1(src[i]);
    }
#else
    static void widen(const std::uint16_t* src, float* dst, size_t n) {
        for (size_t i = 0; i < n; ++i) dst[i] = widen1(src[i]);
    }
    static void narrow(const float* src, std::uint16_t* dst, size_t n) {
        for (size_t i = 0; i < n; ++i) dst[i] = narrow1(src[i]);
    }
#endif
};

struct BF16Blocks {
    static float widen1(std::uint16_t b) { return bf16_widen_quiet(b); }
    static std::uint16_t narrow1(float f) { return bf16_narrow(f); }
    // The vector routes below widen without setting the quiet bit: every
    // binary32 operation returns a NaN operand with its quiet bit set and its
    // payload otherwise unchanged, so the results are the same bits, and a
    // comparison only sees NaN-ness.
#if defined(__AVX512F__)
    static __m512 widen16(__m256i h) { return _mm512_castsi512_ps(_mm512_slli_epi32(_mm512_cvtepu16_epi32(h), 16)); }
    static __m256i narrow16(__m512 v) {
        const __m512i x = _mm512_castps_si512(v);
        const __m512i upper = _mm512_srli_epi32(x, 16);
        const __m512i bias = _mm512_add_epi32(_mm512_set1_epi32(0x7FFF), _mm512_and_si512(upper, _mm512_set1_epi32(1)));
        const __m512i rounded = _mm512_srli_epi32(_mm512_add_epi32(x, bias), 16);
        const __mmask16 nan = _mm512_cmp_ps_mask(v, v, _CMP_UNORD_Q);
        return _mm512_cvtepi32_epi16(_mm512_mask_or_epi32(rounded, nan, upper, _mm512_set1_epi32(0x40)));
    }
    static __m256i load16(const std::uint16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static void store16(std::uint16_t* p, __m256i h) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), h); }
    static __mmask16 tail_mask(size_t k) { return __mmask16((1u << k) - 1); }

    static void widen(const std::uint16_t* src, float* dst, size_t n) {
        size_t i = 0;
        for (; i + 16 <= n; i += 16) _mm512_storeu_ps(dst + i, widen16(load16(src + i)));
        if (i < n) {
            const __mmask16 m = tail_mask(n - i);
            _mm512_mask_storeu_ps(dst + i, m, widen16(_mm256_maskz_loadu_epi16(m, src + i)));
        }
    }
    static void narrow(const float* src, std::uint16_t* dst, size_t n) {
        size_t i = 0;
        for (; i + 16 <= n; i += 16) store16(dst + i, narrow16(_mm512_loadu_ps(src + i)));
        if (i < n) {
            const __mmask16 m = tail_mask(n - i);
            _mm256_mask_storeu_epi16(dst + i, m, narrow16(_mm512_maskz_loadu_ps(m, src + i)));
        }
    }
    template <class Op>
    static void fused(const std::uint16_t* a, const std::uint16_t* b, std::uint16_t* out, size_t n, Op op) {
        size_t i = 0;
        for (; i + 16 <= n; i += 16) store16(out + i, narrow16(op(widen16(load16(a + i)), widen16(load16(b + i)))));
        if (i < n) {
            const __mmask16 m = tail_mask(n - i);
            const __m512 x = widen16(_mm256_maskz_loadu_epi16(m, a + i));
            const __m512 y = widen16(_mm256_maskz_loadu_epi16(m, b + i));
            _mm256_mask_storeu_epi16(out + i, m, narrow16(op(x, y)));
        }
    }
#elif defined(__AVX2__)
    static __m256 widen8(const std::uint16_t* p) {
        const __m256i h = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        return _mm256_castsi256_ps(_mm256_slli_epi32(h, 16));
    }
    static void narrow8(__m256 v, std::uint16_t* p) {
        const __m256i x = _mm256_castps_si256(v);
        const __m256i rounded = bf16_round8(x);
        const __m256i quiet = _mm256_or_si256(_mm256_srli_epi32(x, 16), _mm256_set1_epi32(0x40));
        const __m256i nan = _mm256_castps_si256(_mm256_cmp_ps(v, v, _CMP_UNORD_Q));
        const __m256i r = _mm256_blendv_epi8(rounded, quiet, nan);
        // Every lane is below 2^16, so the saturating pack is exact; it packs
        // per 128-bit half, and the permute gathers the two useful quarters.
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(r, r), 0b1000);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(packed));
    }
    static void widen(const std::uint16_t* src, float* dst, size_t n) {
        size_t i = 0;
        for (; i + 8 <= n; i += 8) _mm256_storeu_ps(dst + i, widen8(src + i));
        for (; i < n; ++i) dst[i] = widen1(src[i]);
    }
    static void narrow(const float* src, std::uint16_t* dst, size_t n) {
        size_t i = 0;
        for (; i + 8 <= n; i += 8) narrow8(_mm256_loadu_ps(src + i), dst + i);
        for (; i < n; ++i) dst[i] = narrow1(src[i]);
    }
    template <class Op>
    static void fused(const std::uint16_t* a, const std::uint16_t* b, std::uint16_t* out, size_t n, Op op) {
        size_t i = 0;
        for (; i + 8 <= n; i += 8) narrow8(op(widen8(a + i), widen8(b + i)), out + i);
        for (; i < n; ++i) out[i] = narrow1(op(widen1(a[i]), widen1(b[i])));
    }
#else
    static void widen(const std::uint16_t* __restrict src, float* __restrict dst, size_t n) {
        for (size_t i = 0; i < n; ++i) dst[i] = widen1(src[i]);
    }
    static void narrow(const float* __restrict src, std::uint16_t* __restrict dst, size_t n) {
        for (size_t i = 0; i < n; ++i) dst[i] = narrow1(src[i]);
    }
    template <class Op>
    static void fused(const std::uint16_t* __restrict a, const std::uint16_t* __restrict b, std::uint16_t* __restrict out,
                      size_t n, Op op) {
        for (size_t i = 0; i < n; ++i) out[i] = narrow1(op(widen1(a[i]), widen1(b[i])));
    }
#endif
};

}  // namespace
}  // namespace pelor::engine::cpu::elementwise
