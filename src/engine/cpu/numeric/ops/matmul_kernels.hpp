#pragma once
// The matmul's per-instruction-set loops: the direct product for small
// matrices and the 16-bit widening and narrowing passes, one table per level
// (matmul_kernels.isa.cpp). The loops take raw pointers and element counts
// only, so the per-level objects share no inline code with the rest of the
// module.
#include <cstddef>
#include <cstdint>

#include "engine/cpu/kernel_table.hpp"

namespace pelor::engine::cpu::numeric::ops {

// The smallest non-zero magnitude (sign bit cleared; 0x7FFF when every
// element is zero) and the largest magnitude of a run of 16-bit elements.
struct MagnitudeRange {
    std::int16_t smallest_nonzero;
    std::int16_t largest;
};

struct MatmulKernels {
    // Products with at most this many multiply-adds (m · n · k) take
    // small_product rather than BLIS.
    std::size_t small_limit;
    // c (m × n, row-major, row stride n) = a · b. a has any strides; b has
    // row stride b_rs and unit column stride. Accumulates in binary32.
    void (*small_product)(std::size_t m, std::size_t n, std::size_t k, const float* a, std::ptrdiff_t a_rs,
                          std::ptrdiff_t a_cs, const float* b, std::ptrdiff_t b_rs, float* c);
    // The 16-bit passes over `count` dense elements: exact widening and
    // narrowing to nearest even (a NaN stays a quiet NaN with its upper bits).
    void (*widen_f16)(const std::uint16_t* src, float* dst, std::size_t count);
    void (*narrow_f16)(const float* src, std::uint16_t* dst, std::size_t count);
    void (*widen_bf16)(const std::uint16_t* src, float* dst, std::size_t count);
    void (*narrow_bf16)(const float* src, std::uint16_t* dst, std::size_t count);
    // Over `count` dense elements, for the native-unit check of 16-bit products.
    MagnitudeRange (*magnitude_range)(const std::uint16_t* src, std::size_t count);
};

}  // namespace pelor::engine::cpu::numeric::ops

// matmul_kernels(): the table for the processor we run on (chosen once).
PELOR_KERNEL_TABLE(pelor::engine::cpu::numeric::ops, MatmulKernels, matmul_kernels)
