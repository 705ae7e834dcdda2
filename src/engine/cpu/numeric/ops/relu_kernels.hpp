#pragma once
// The flat loops of the rectifier, one table per instruction-set level
// (relu_kernels.isa.cpp); relu_kernels() picks the table for this processor.
// The 16-bit loops work on raw bit patterns with integer comparisons.
#include <cstddef>
#include <cstdint>

#include "engine/cpu/kernel_table.hpp"

namespace pelor::engine::cpu::numeric::ops {

struct ReluKernels {
    void (*f32)(const float* in, float* out, std::size_t n);
    void (*f16)(const std::uint16_t* in, std::uint16_t* out, std::size_t n);
    void (*bf16)(const std::uint16_t* in, std::uint16_t* out, std::size_t n);
};

}  // namespace pelor::engine::cpu::numeric::ops

// relu_kernels(): the table for the processor we run on (chosen once).
PELOR_KERNEL_TABLE(pelor::engine::cpu::numeric::ops, ReluKernels, relu_kernels)
