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

#include "engine/cpu/elementwise/op_list.hpp"
#include "engine/cpu/kernel_table.hpp"

namespace pelor::engine::cpu::numeric::ops {

struct ScalarKernels {
    using F32Arith = void (*)(const float* in, float x, float* out, std::size_t n);
    using HalfArith = void (*)(const std::uint16_t* in, float x, std::uint16_t* out, std::size_t n);
    using F32Compare = void (*)(const float* in, float x, std::uint8_t* out, std::size_t n);
    using HalfCompare = void (*)(const std::uint16_t* in, float x, std::uint8_t* out, std::size_t n);

    // Indexed by elementwise::ScalarArithmetic and elementwise::Comparison.
    F32Arith f32_arith[elementwise::scalar_arithmetic_count];
    HalfArith f16_arith[elementwise::scalar_arithmetic_count];
    HalfArith bf16_arith[elementwise::scalar_arithmetic_count];
    F32Compare f32_compare[elementwise::comparison_count];
    HalfCompare f16_compare[elementwise::comparison_count];
    HalfCompare bf16_compare[elementwise::comparison_count];
};

}  // namespace pelor::engine::cpu::numeric::ops

// scalar_kernels(): the table for the processor we run on (chosen once).
PELOR_KERNEL_TABLE(pelor::engine::cpu::numeric::ops, ScalarKernels, scalar_kernels)
