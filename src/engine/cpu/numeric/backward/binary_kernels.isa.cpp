// The div_backward loop at one instruction-set level (compiled once per level
// with PELOR_ISA naming it); internal linkage only, so nothing compiled for a
// wide level leaks into baseline code.
//
// Per element, with the element type's own multiplication and division, each
// rounded to the element type before the next one uses it:
//   ga = g / b
//   gb = ((-g) * a) / (b * b)
#include <array>
#include <cstdint>
#include <type_traits>

#include "engine/cpu/elementwise/map_run.hpp"
#include "engine/cpu/numeric/backward/binary_kernels.hpp"
#include "engine/cpu/numeric/core.hpp"

namespace pelor::isa::PELOR_ISA {

namespace {

namespace ew = engine::cpu::elementwise;
using engine::cpu::numeric::backward::DivBackwardKernels;
using engine::cpu::numeric::backward::DivRun;
using engine::cpu::numeric::core::TensorOps;

// Negation only flips the sign bit: exact, NaN included.
template <class T>
T negate(T x) {
    if constexpr (std::is_same_v<T, float>) return -x;
    else return T::from_bits(std::uint16_t(x.bits ^ 0x8000u));
}

template <class T>
void div_backward_run(const DivRun<T>& run) {
    using Ops = TensorOps<T>;
    ew::map_run(run, [](T g, T a, T b) {
        const T ga = Ops::kernel_div(g, b);
        const T product = Ops::kernel_mul(negate(g), a);
        const T square = Ops::kernel_mul(b, b);
        return std::array<T, 2>{ga, Ops::kernel_div(product, square)};
    });
}

}  // namespace

extern const DivBackwardKernels div_backward_kernels = {div_backward_run<float>, div_backward_run<F16>,
                                                        div_backward_run<BF16>};

}  // namespace pelor::isa::PELOR_ISA
