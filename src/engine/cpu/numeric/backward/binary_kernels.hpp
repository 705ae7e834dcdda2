#pragma once
// The inner loop of div_backward, one table per instruction-set level
// (binary_kernels.isa.cpp); div_backward_kernels() picks the table for this
// processor. A run carries three inputs (gradient, dividend, divisor) and two
// outputs (the dividend's and the divisor's gradients).
#include <type_traits>

#include "base/half.hpp"
#include "engine/cpu/elementwise/run.hpp"

namespace pelor::engine::cpu::numeric::backward {

template <class T>
using DivRun = elementwise::Run<T, 3, T, 2>;

struct DivBackwardKernels {
    void (*f32)(const DivRun<float>&);
    void (*f16)(const DivRun<F16>&);
    void (*bf16)(const DivRun<BF16>&);
};

// The table for the processor we run on (chosen once).
const DivBackwardKernels& div_backward_kernels();

template <class T>
auto div_backward_run() {
    const DivBackwardKernels& k = div_backward_kernels();
    if constexpr (std::is_same_v<T, float>) return k.f32;
    else if constexpr (std::is_same_v<T, F16>) return k.f16;
    else return k.bf16;
}

}  // namespace pelor::engine::cpu::numeric::backward

namespace pelor::isa::baseline {
extern const engine::cpu::numeric::backward::DivBackwardKernels div_backward_kernels;
}
namespace pelor::isa::avx2 {
extern const engine::cpu::numeric::backward::DivBackwardKernels div_backward_kernels;
}
namespace pelor::isa::avx512 {
extern const engine::cpu::numeric::backward::DivBackwardKernels div_backward_kernels;
}
