#pragma once
// The inner loop of relu_backward, one table per instruction-set level
// (functional_kernels.isa.cpp); relu_backward_kernels() picks the table for
// this processor. A run carries two inputs (gradient, relu input) and one
// output (the input's gradient).
#include <type_traits>

#include "base/half.hpp"
#include "engine/cpu/elementwise/run.hpp"

namespace pelor::engine::cpu::numeric::backward {

template <class T>
using ReluRun = elementwise::Run<T, 2, T, 1>;

struct ReluBackwardKernels {
    void (*f32)(const ReluRun<float>&);
    void (*f16)(const ReluRun<F16>&);
    void (*bf16)(const ReluRun<BF16>&);
};

// The table for the processor we run on (chosen once).
const ReluBackwardKernels& relu_backward_kernels();

template <class T>
auto relu_backward_run() {
    const ReluBackwardKernels& k = relu_backward_kernels();
    if constexpr (std::is_same_v<T, float>) return k.f32;
    else if constexpr (std::is_same_v<T, F16>) return k.f16;
    else return k.bf16;
}

}  // namespace pelor::engine::cpu::numeric::backward

namespace pelor::isa::baseline {
extern const engine::cpu::numeric::backward::ReluBackwardKernels relu_backward_kernels;
}
namespace pelor::isa::avx2 {
extern const engine::cpu::numeric::backward::ReluBackwardKernels relu_backward_kernels;
}
namespace pelor::isa::avx512 {
extern const engine::cpu::numeric::backward::ReluBackwardKernels relu_backward_kernels;
}
