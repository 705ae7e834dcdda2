#pragma once
// The inner loops of div_backward, one table per instruction-set level
// (binary_kernels.isa.cpp); div_backward_kernels() picks the table for this
// processor. A run carries three inputs (gradient, dividend, divisor) and the
// outputs asked for: the dividend's and the divisor's gradients, or one of them.
#include <cstddef>
#include <type_traits>

#include "base/half.hpp"
#include "engine/cpu/elementwise/run.hpp"
#include "engine/cpu/kernel_table.hpp"

namespace pelor::engine::cpu::numeric::backward {

template <class T, std::size_t Outputs = 2>
using DivRun = elementwise::Run<T, 3, T, Outputs>;

// Both gradients, or only the dividend's (g / b) or only the divisor's.
template <class T>
struct DivBackwardLoops {
    void (*both)(const DivRun<T>&);
    void (*dividend)(const DivRun<T, 1>&);
    void (*divisor)(const DivRun<T, 1>&);
};

struct DivBackwardKernels {
    DivBackwardLoops<float> f32;
    DivBackwardLoops<F16> f16;
    DivBackwardLoops<BF16> bf16;
};

}  // namespace pelor::engine::cpu::numeric::backward

// div_backward_kernels(): the table for the processor we run on (chosen once).
PELOR_KERNEL_TABLE(pelor::engine::cpu::numeric::backward, DivBackwardKernels, div_backward_kernels)

namespace pelor::engine::cpu::numeric::backward {

template <class T>
const DivBackwardLoops<T>& div_backward_loops() {
    return entry_for<T>(div_backward_kernels());
}

}  // namespace pelor::engine::cpu::numeric::backward
