// The relu_backward loop at one instruction-set level (compiled once per level
// with PELOR_ISA naming it); internal linkage only.
//
// The gradient passes unchanged (NaN included) where the input is > 0 and is
// +0 elsewhere: NaN, both zeros and negative inputs stop it, +infinity passes.
#include <cstdint>

#include "engine/cpu/elementwise/map_run.hpp"
#include "engine/cpu/numeric/backward/functional_kernels.hpp"

namespace pelor::isa::PELOR_ISA {

namespace {

namespace ew = engine::cpu::elementwise;
using engine::cpu::numeric::backward::ReluBackwardKernels;
using engine::cpu::numeric::backward::ReluRun;

void relu_backward_f32(const ReluRun<float>& run) {
    ew::map_run(run, [](float g, float x) { return x > 0.0f ? g : 0.0f; });
}

// For a 16-bit float, x > 0 holds exactly for the bit patterns 0x0001 up to
// +infinity (`inf`): the positive non-zero values. One unsigned comparison
// after subtracting 1 tests that range (0 wraps to 0xFFFF).
template <class T, std::uint16_t inf>
void relu_backward_bits(const ReluRun<T>& run) {
    ew::map_run(run, [](T g, T x) { return std::uint16_t(x.bits - 1u) < inf ? g : T::from_bits(0); });
}

}  // namespace

PELOR_KERNEL_TABLE_DEFINE(relu_backward_kernels) = {relu_backward_f32, relu_backward_bits<F16, 0x7C00>,
                                                          relu_backward_bits<BF16, 0x7F80>};

}  // namespace pelor::isa::PELOR_ISA
