#pragma once
// The flat loops of the rectifier, one table per instruction-set level
// (relu_kernels.isa.cpp); relu_kernels() picks the table for this processor.
// A loop maps one dense buffer (a run of stride 1). The 16-bit loops work on
// raw bit patterns with integer comparisons.
#include "base/half.hpp"
#include "engine/cpu/elementwise/run.hpp"

#include "engine/cpu/kernel_table.hpp"

namespace pelor::engine::cpu::numeric::ops {

struct ReluKernels {
    template <class T>
    using Loop = void (*)(const elementwise::Run<T, 1, T, 1>&);

    Loop<float> f32;
    Loop<F16> f16;
    Loop<BF16> bf16;
};

}  // namespace pelor::engine::cpu::numeric::ops

// relu_kernels(): the table for the processor we run on (chosen once).
PELOR_KERNEL_TABLE(pelor::engine::cpu::numeric::ops, ReluKernels, relu_kernels)
