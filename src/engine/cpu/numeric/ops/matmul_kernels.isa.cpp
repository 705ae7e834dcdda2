// The matmul's loops for one instruction-set level (PELOR_ISA). Only raw
// pointers and functions with internal linkage appear here, so no inline code
// compiled for a wider level can be picked up by the rest of the module.
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstddef>
#include <cstdint>

#include "engine/cpu/elementwise/half_conversions.hpp"
#include "engine/cpu/numeric/ops/matmul_kernels.hpp"

namespace pelor::isa::PELOR_ISA {

namespace {

namespace ew = engine::cpu::elementwise;
namespace ops = engine::cpu::numeric::ops;

// Fused where the level has FMA (every aarch64 processor does): the product's
// rounding is free to choose, and one rounding per term is the more accurate.
inline float multiply_add(float a, float b, float c) {
#if defined(__FMA__) || defined(__aarch64__)
    return __builtin_fmaf(a, b, c);
#else
    return a * b + c;
#endif
}

#if defined(__AVX512F__)
// Lanes [0, count) of a 16-lane mask.
inline __mmask16 lane_mask(std::size_t count) {
    return count >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << count) - 1u);
}

// A block of Rows rows and up to 16 · Vectors columns of c, held in registers
// across the whole inner axis: each step loads one row of b once and
// multiply-adds it into every row's accumulators. The fixed-count loops are
// unrolled completely and the function is kept out of line: otherwise GCC
// leaves the accumulators in a stack array and stores them on every step.
template <int Rows, int Vectors>
[[gnu::noinline]] void product_block(std::size_t k, const float* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs,
                                     const float* b, std::ptrdiff_t b_rs, float* c, std::size_t c_rs,
                                     __mmask16 mask0, __mmask16 mask1) {
    const __mmask16 mask[2] = {mask0, mask1};
    __m512 acc[Rows * Vectors];
#pragma GCC unroll 16
    for (int i = 0; i < Rows * Vectors; ++i) acc[i] = _mm512_setzero_ps();
    for (std::size_t p = 0; p < k; ++p) {
        const float* bp = b + std::ptrdiff_t(p) * b_rs;
        const float* ap = a + std::ptrdiff_t(p) * a_cs;
        __m512 row[Vectors];
#pragma GCC unroll 16
        for (int v = 0; v < Vectors; ++v) row[v] = _mm512_maskz_loadu_ps(mask[v], bp + 16 * v);
#pragma GCC unroll 16
        for (int r = 0; r < Rows; ++r) {
            const __m512 s = _mm512_set1_ps(ap[r * a_rs]);
#pragma GCC unroll 16
            for (int v = 0; v < Vectors; ++v)
                acc[r * Vectors + v] = _mm512_fmadd_ps(s, row[v], acc[r * Vectors + v]);
        }
    }
#pragma GCC unroll 16
    for (int r = 0; r < Rows; ++r)
#pragma GCC unroll 16
        for (int v = 0; v < Vectors; ++v)
            _mm512_mask_storeu_ps(c + r * c_rs + 16 * v, mask[v], acc[r * Vectors + v]);
}

// Rows of c in blocks of 8 (one vector per row) or 4 (two): eight
// independent accumulator chains keep both FMA pipes busy.
template <int Vectors>
void product_panel(std::size_t m, std::size_t k, const float* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs,
                   const float* b, std::ptrdiff_t b_rs, float* c, std::size_t c_rs, __mmask16 mask0,
                   __mmask16 mask1) {
    std::size_t i = 0;
    auto block = [&]<int Rows>() {
        product_block<Rows, Vectors>(k, a + std::ptrdiff_t(i) * a_rs, a_rs, a_cs, b, b_rs, c + i * c_rs, c_rs,
                                     mask0, mask1);
        i += Rows;
    };
    if constexpr (Vectors == 1)
        while (m - i >= 8) block.template operator()<8>();
    while (m - i >= 4) block.template operator()<4>();
    if (m - i >= 2) block.template operator()<2>();
    if (m - i == 1) block.template operator()<1>();
}

// One output column (n = 1) with a and b both contiguous along the inner axis:
// each element is a dot product, summed in 16 lanes and then across them.
void product_column(std::size_t m, std::size_t k, const float* a, std::ptrdiff_t a_rs, const float* b, float* c) {
    for (std::size_t i = 0; i < m; ++i) {
        const float* ai = a + std::ptrdiff_t(i) * a_rs;
        __m512 acc0 = _mm512_setzero_ps(), acc1 = _mm512_setzero_ps();
        std::size_t p = 0;
        for (; p + 32 <= k; p += 32) {
            acc0 = _mm512_fmadd_ps(_mm512_loadu_ps(ai + p), _mm512_loadu_ps(b + p), acc0);
            acc1 = _mm512_fmadd_ps(_mm512_loadu_ps(ai + p + 16), _mm512_loadu_ps(b + p + 16), acc1);
        }
        for (; p < k; p += 16) {
            const __mmask16 mask = lane_mask(k - p);
            acc0 = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(mask, ai + p), _mm512_maskz_loadu_ps(mask, b + p), acc0);
        }
        c[i] = _mm512_reduce_add_ps(_mm512_add_ps(acc0, acc1));
    }
}
#endif

// Row i of c is a sum of rows of b scaled by row i of a: the inner loop is
// unit-stride in b and c, so it vectorises whatever a's layout is.
void product_rows(std::size_t m, std::size_t n, std::size_t k, const float* a, std::ptrdiff_t a_rs,
                  std::ptrdiff_t a_cs, const float* b, std::ptrdiff_t b_rs, float* c) {
    for (std::size_t i = 0; i < m; ++i) {
        float* __restrict ci = c + i * n;
        const float* ai = a + std::ptrdiff_t(i) * a_rs;
        for (std::size_t j = 0; j < n; ++j) ci[j] = 0.0f;
        for (std::size_t p = 0; p < k; ++p) {
            const float s = ai[std::ptrdiff_t(p) * a_cs];
            const float* __restrict bp = b + std::ptrdiff_t(p) * b_rs;
            for (std::size_t j = 0; j < n; ++j) ci[j] = multiply_add(s, bp[j], ci[j]);
        }
    }
}

// Up to this many multiply-adds the direct loop beats a BLIS call (measured
// on one core against BLIS's AVX-512 and AVX2 kernels; bench/matmul.py shows
// the crossover). The AVX-512 register blocks run as fast as BLIS's kernels
// up to about 128^3 without BLIS's fixed cost (0.6 to 2 µs a call, it packs
// both operands); the plain loop wins only while that fixed cost dominates.
#if defined(__AVX512F__)
constexpr std::size_t small_limit = std::size_t(128) * 128 * 128;
#else
constexpr std::size_t small_limit = std::size_t(16) * 16 * 16;
#endif

void small_product(std::size_t m, std::size_t n, std::size_t k, const float* a, std::ptrdiff_t a_rs,
                   std::ptrdiff_t a_cs, const float* b, std::ptrdiff_t b_rs, float* c) {
#if defined(__AVX512F__)
    // A single column of row-major a is a set of dot products; a single row
    // streams through b row by row; anything else is computed in register
    // blocks over panels of 32 columns (16 for a narrow last one).
    if (n == 1 && a_cs == 1 && b_rs == 1 && k >= 16) {
        product_column(m, k, a, a_rs, b, c);
        return;
    }
    if (m > 1) {
        for (std::size_t j = 0; j < n; j += 32) {
            const std::size_t width = n - j < 32 ? n - j : 32;
            const __mmask16 mask0 = lane_mask(width), mask1 = lane_mask(width > 16 ? width - 16 : 0);
            if (width > 16) product_panel<2>(m, k, a, a_rs, a_cs, b + j, b_rs, c + j, n, mask0, mask1);
            else product_panel<1>(m, k, a, a_rs, a_cs, b + j, b_rs, c + j, n, mask0, mask1);
        }
        return;
    }
#endif
    product_rows(m, n, k, a, a_rs, a_cs, b, b_rs, c);
}

// bfloat16 is the upper half of binary32: widening is a shift.
void widen_bf16(const std::uint16_t* src, float* dst, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) dst[i] = ew::bf16_widen(src[i]);
}

// Two unsigned 16-bit minimum/maximum reductions, which vectorise: the
// magnitude less one maps zero to the largest value, so the minimum of it
// skips zeros.
ops::MagnitudeRange magnitude_range(const std::uint16_t* src, std::size_t count) {
    std::uint16_t below_smallest = 0xFFFF, largest = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint16_t magnitude = src[i] & 0x7FFF;
        const auto less_one = std::uint16_t(magnitude - 1);
        below_smallest = less_one < below_smallest ? less_one : below_smallest;
        largest = magnitude > largest ? magnitude : largest;
    }
    const auto smallest = below_smallest == 0xFFFF ? std::int16_t(0x7FFF) : std::int16_t(below_smallest + 1);
    return {smallest, std::int16_t(largest)};
}

}  // namespace

PELOR_KERNEL_TABLE_DEFINE(matmul_kernels) = {
    small_limit,
    small_product,
    ew::F16Blocks::widen,
    ew::F16Blocks::narrow,
    widen_bf16,
    ew::BF16Blocks::narrow,
    magnitude_range,
};

}  // namespace pelor::isa::PELOR_ISA
