#pragma once
// Inner loops for *.isa.cpp files (compiled once per instruction-set level).
// Everything here has internal linkage, so each level keeps its own copy and
// the linker can never hand a wide level's code to a baseline caller. Do not
// include this header from ordinary source files.
//
// - binary_loop: one run of a two-input element rule with the engine's three
//   paths (both contiguous; one side a broadcast scalar; generic strides).
// - Widen/narrow of 16-bit blocks (F16Blocks, BF16Blocks) and half_binary_loop,
//   which runs binary16/bfloat16 rules in binary32 over blocks: widen exactly,
//   apply the binary32 rule (vectorised), narrow once to nearest even.
//   binary16 uses F16C (VCVTPH2PS / VCVTPS2PH) where the level has it, the
//   Armv8-A conversions (FCVT) on aarch64 and the integer conversions of
//   half.hpp at the x86-64 baseline; all round identically and
//   keep a NaN as a quiet NaN with its sign and upper payload bits. bfloat16
//   uses integer operations (AVX2 intrinsics, plain loops at baseline):
//   widening sets the quiet bit 0x0040 of a NaN operand, narrowing rounds the
//   upper half to nearest even and quiets a NaN.
//   When both operands are contiguous, the 16-bit arithmetic runs fused
//   (widen, operate, narrow in registers) instead of through blocks.
#ifndef PELOR_ISA
#error "isa_loops.hpp belongs to *.isa.cpp files"
#endif

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#if !defined(__F16C__) && !defined(__aarch64__)
#include "base/half.hpp"  // x86-64 baseline and other targets: the integer binary16 conversions
#endif

namespace pelor::engine::cpu::elementwise {
namespace {

using std::ptrdiff_t;
using std::size_t;

// ---- one run of a two-input rule ------------------------------------------

template <class Op, class In, class Out>
void contiguous_loop(const In* __restrict a, const In* __restrict b, Out* __restrict out, size_t n, Op op) {
    for (size_t i = 0; i < n; ++i) out[i] = op(a[i], b[i]);
}

template <class Op, class In, class Out>
void left_scalar_loop(In a, const In* __restrict b, Out* __restrict out, size_t n, Op op) {
    for (size_t i = 0; i < n; ++i) out[i] = op(a, b[i]);
}

template <class Op, class In, class Out>
void right_scalar_loop(const In* __restrict a, In b, Out* __restrict out, size_t n, Op op) {
    for (size_t i = 0; i < n; ++i) out[i] = op(a[i], b);
}

template <class Op, class In, class Out>
void strided_loop(const In* __restrict a, ptrdiff_t sa, const In* __restrict b, ptrdiff_t sb, Out* __restrict out,
                  size_t n, Op op) {
    for (size_t i = 0; i < n; ++i) out[i] = op(a[ptrdiff_t(i) * sa], b[ptrdiff_t(i) * sb]);
}

// The output is contiguous; sa and sb are the inputs' strides in elements.
template <class Op, class In, class Out>
void binary_loop(const In* a, ptrdiff_t sa, const In* b, ptrdiff_t sb, Out* out, size_t n, Op op) {
    if (sa == 1 && sb == 1) contiguous_loop(a, b, out, n, op);
    else if (sa == 0 && sb == 1) left_scalar_loop(*a, b, out, n, op);
    else if (sa == 1 && sb == 0) right_scalar_loop(a, *b, out, n, op);
    else strided_loop(a, sa, b, sb, out, n, op);
}

// ---- 16-bit blocks -----------------------------------------------------------

struct F16Blocks {
#if defined(__F16C__)
    static float widen1(std::uint16_t h) { return _cvtsh_ss(h); }
    static std::uint16_t narrow1(float f) { return std::uint16_t(_cvtss_sh(f, _MM_FROUND_TO_NEAREST_INT)); }
#elif defined(__aarch64__)
    static float widen1(std::uint16_t h) { return float(__builtin_bit_cast(__fp16, h)); }
    static std::uint16_t narrow1(float f) { return __builtin_bit_cast(std::uint16_t, __fp16(f)); }
#else
    static float widen1(std::uint16_t h) { return F16::from_bits(h).to_float(); }
    static std::uint16_t narrow1(float f) { return F16::from_float(f).bits; }
#endif

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
#else
    template <class Op>
    static void fused(const std::uint16_t* __restrict a, const std::uint16_t* __restrict b, std::uint16_t* __restrict out,
                      size_t n, Op op) {
        for (size_t i = 0; i < n; ++i) out[i] = narrow1(op(widen1(a[i]), widen1(b[i])));
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
    // A NaN operand gets its quiet bit before it is used.
    static float widen1(std::uint16_t b) {
        const std::uint32_t q = (b & 0x7FFFu) > 0x7F80u ? 0x40u : 0u;
        return __builtin_bit_cast(float, std::uint32_t(b | q) << 16);
    }
    // Branch-free so the loops vectorise.
    static std::uint16_t narrow1(float f) {
        const std::uint32_t r = __builtin_bit_cast(std::uint32_t, f);
        const std::uint32_t rounded = (r + 0x7FFFu + ((r >> 16) & 1u)) >> 16;
        const std::uint32_t quiet = (r >> 16) | 0x40u;
        return std::uint16_t((r & 0x7FFFFFFFu) > 0x7F800000u ? quiet : rounded);
    }
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
        const __m256i upper = _mm256_srli_epi32(x, 16);
        const __m256i bias = _mm256_add_epi32(_mm256_set1_epi32(0x7FFF), _mm256_and_si256(upper, _mm256_set1_epi32(1)));
        const __m256i rounded = _mm256_srli_epi32(_mm256_add_epi32(x, bias), 16);
        const __m256i quiet = _mm256_or_si256(upper, _mm256_set1_epi32(0x40));
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

inline constexpr size_t half_block = 512;

// This level's copy of half.hpp's round_to_odd_float: binary64 to binary32,
// an inexact result becoming the neighbour toward zero with its last bit set,
// so that the 16-bit narrowing after it rounds the binary64 value only once.
inline float round_to_odd(double d) {
    const float f = float(d);
    std::uint32_t u = std::bit_cast<std::uint32_t>(f);
    const double back = double(f);
    const bool inexact = back != d && d == d;
    u -= std::uint32_t(inexact && (back > d) == (d > 0.0));
    u |= std::uint32_t(inexact);
    return std::bit_cast<float>(u);
}

// One operand's block in binary32: widened in place of a contiguous run,
// gathered first when strided, repeated when broadcast.
template <class Conv>
void load_block(const std::uint16_t* src, ptrdiff_t stride, float* dst, size_t m) {
    if (stride == 1) return Conv::widen(src, dst, m);
    if (stride == 0) {
        const float v = Conv::widen1(*src);
        for (size_t i = 0; i < m; ++i) dst[i] = v;
        return;
    }
    alignas(64) std::uint16_t gathered[half_block];
    for (size_t i = 0; i < m; ++i) gathered[i] = src[ptrdiff_t(i) * stride];
    Conv::widen(gathered, dst, m);
}

// Out = std::uint16_t: op returns binary32, narrowed once per element.
// Out = std::uint8_t: op is a predicate, written as 0 or 1.
template <class Conv, class Op, class Out>
void half_binary_loop(const std::uint16_t* a, ptrdiff_t sa, const std::uint16_t* b, ptrdiff_t sb, Out* out, size_t n,
                      Op op) {
    if constexpr (sizeof(Out) == 2) {
        if (sa == 1 && sb == 1) return Conv::fused(a, b, out, n, op);
    }
    alignas(64) float fa[half_block];
    alignas(64) float fb[half_block];
    alignas(64) float fr[half_block];
    for (size_t i0 = 0; i0 < n; i0 += half_block) {
        const size_t m = std::min(half_block, n - i0);
        load_block<Conv>(a + ptrdiff_t(i0) * sa, sa, fa, m);
        load_block<Conv>(b + ptrdiff_t(i0) * sb, sb, fb, m);
        if constexpr (sizeof(Out) == 2) {
            contiguous_loop(fa, fb, fr, m, op);
            Conv::narrow(fr, out + i0, m);
        } else {
            contiguous_loop(fa, fb, out + i0, m, op);
        }
    }
}

}  // namespace
}  // namespace pelor::engine::cpu::elementwise
