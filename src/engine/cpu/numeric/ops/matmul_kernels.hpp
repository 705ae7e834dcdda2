#pragma once
// The matmul's per-instruction-set loops: the direct product for small
// matrices and the 16-bit widening and narrowing passes. matmul_kernels.isa.cpp
// is compiled once per level (pelor::isa::<level>); matmul_kernels() picks the
// level once. The loops take raw pointers and element counts only, so the
// per-level objects share no inline code with the rest of the module.
#include <cstddef>
#include <cstdint>

namespace pelor::engine::cpu::numeric::ops {

struct MatmulKernels {
    // Products with at most this many multiply-adds (m · n · k) take
    // small_product rather than BLIS.
    std::size_t small_limit;
    // c (m × n, row-major, row stride n) = a · b. a has any strides; b has
    // row stride b_rs and unit column stride. Accumulates in binary32.
    void (*small_product)(std::size_t m, std::size_t n, std::size_t k, const float* a, std::ptrdiff_t a_rs,
                          std::ptrdiff_t a_cs, const float* b, std::ptrdiff_t b_rs, float* c);
    // The 16-bit passes over `count` dense elements. The F16 ones convert a
    // leading part and return how many they did (the caller finishes the
    // rest with F16's own conversions); the BF16 ones do all of it.
    std::size_t (*widen_f16)(const std::uint16_t* src, float* dst, std::size_t count);
    std::size_t (*narrow_f16)(const float* src, std::uint16_t* dst, std::size_t count);
    void (*widen_bf16)(const std::uint16_t* src, float* dst, std::size_t count);
    void (*narrow_bf16)(const float* src, std::uint16_t* dst, std::size_t count);
};

// The table for this processor (chosen once, thread-safe).
const MatmulKernels& matmul_kernels();

}  // namespace pelor::engine::cpu::numeric::ops

#define PELOR_MATMUL_KERNELS_DECLARE(level)                                                              \
    namespace pelor::isa::level {                                                                        \
    std::size_t matmul_small_limit();                                                                    \
    void matmul_small_product(std::size_t m, std::size_t n, std::size_t k, const float* a,               \
                              std::ptrdiff_t a_rs, std::ptrdiff_t a_cs, const float* b, std::ptrdiff_t b_rs, \
                              float* c);                                                                 \
    std::size_t matmul_widen_f16(const std::uint16_t* src, float* dst, std::size_t count);               \
    std::size_t matmul_narrow_f16(const float* src, std::uint16_t* dst, std::size_t count);              \
    void matmul_widen_bf16(const std::uint16_t* src, float* dst, std::size_t count);                     \
    void matmul_narrow_bf16(const float* src, std::uint16_t* dst, std::size_t count);                    \
    }

PELOR_MATMUL_KERNELS_DECLARE(baseline)
PELOR_MATMUL_KERNELS_DECLARE(avx2)
PELOR_MATMUL_KERNELS_DECLARE(avx512)
