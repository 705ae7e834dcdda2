#pragma once
// The inner loops of sums into binary64 (sum_to), one table per
// instruction-set level (sum_kernels.isa.cpp); sum_kernels() picks the table
// for this processor. A loop adds one run of a reduction (SumRun, run.hpp).
#include "base/half.hpp"
#include "engine/cpu/elementwise/run.hpp"

#include "engine/cpu/kernel_table.hpp"

namespace pelor::engine::cpu::numeric::ops {

struct SumKernels {
    template <class T>
    using Loop = void (*)(const elementwise::SumRun<T>&);

    Loop<float> f32;
    Loop<F16> f16;
    Loop<BF16> bf16;
};

}  // namespace pelor::engine::cpu::numeric::ops

// sum_kernels(): the table for the processor we run on (chosen once).
PELOR_KERNEL_TABLE(pelor::engine::cpu::numeric::ops, SumKernels, sum_kernels)
