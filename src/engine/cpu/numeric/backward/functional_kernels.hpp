#pragma once
// The inner loop of relu_backward, one table per instruction-set level
// (functional_kernels.isa.cpp); relu_backward_kernels() picks the table for
// this processor. A run carries two inputs (gradient, relu input) and one
// output (the input's gradient).
#include <type_traits>

#include "base/half.hpp"
#include "engine/cpu/elementwise/run.hpp"
#include "engine/cpu/kernel_table.hpp"

namespace pelor::engine::cpu::numeric::backward {

template <class T>
using ReluRun = elementwise::Run<T, 2, T, 1>;

struct ReluBackwardKernels {
    void (*f32)(const ReluRun<float>&);
    void (*f16)(const ReluRun<F16>&);
    void (*bf16)(const ReluRun<BF16>&);
};

}  // namespace pelor::engine::cpu::numeric::backward

// relu_backward_kernels(): the table for the processor we run on (chosen once).
PELOR_KERNEL_TABLE(pelor::engine::cpu::numeric::backward, ReluBackwardKernels, relu_backward_kernels)

namespace pelor::engine::cpu::numeric::backward {

template <class T>
auto relu_backward_run() {
    return entry_for<T>(relu_backward_kernels());
}

}  // namespace pelor::engine::cpu::numeric::backward
