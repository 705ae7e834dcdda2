#pragma once
// The flat loops behind the scalar operations: one pass over a dense buffer in
// memory order, element i of the input giving element i of the output. Each
// instruction-set level (scalar_kernels.isa.cpp) provides one table of them;
// scalar_kernels() picks the table for this processor.
//
// The scalar reaches a loop already rounded to the element type and widened
// back to binary32 (exactly), so 16-bit loops compute in binary32 and round
// once. Comparison loops write one byte per element, 0 or 1.
#include <cstddef>
#include <cstdint>

#include "engine/cpu/kernel_table.hpp"

namespace pelor::engine::cpu::numeric::ops {

enum class ScalarArith { add, sub, mul };
enum class ScalarCompare { eq, ge, gt, le, lt };

struct ScalarKernels {
    using F32Arith = void (*)(const float* in, float x, float* out, std::size_t n);
    using HalfArith = void (*)(const std::uint16_t* in, float x, std::uint16_t* out, std::size_t n);
    using F32Compare = void (*)(const float* in, float x, std::uint8_t* out, std::size_t n);
    using HalfCompare = void (*)(const std::uint16_t* in, float x, std::uint8_t* out, std::size_t n);

    // Indexed by ScalarArith and ScalarCompare.
    F32Arith f32_arith[3];
    HalfArith f16_arith[3];
    HalfArith bf16_arith[3];
    F32Compare f32_compare[5];
    HalfCompare f16_compare[5];
    HalfCompare bf16_compare[5];
};

}  // namespace pelor::engine::cpu::numeric::ops

// scalar_kernels(): the table for the processor we run on (chosen once).
PELOR_KERNEL_TABLE(pelor::engine::cpu::numeric::ops, ScalarKernels, scalar_kernels)
