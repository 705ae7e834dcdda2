// The relu_backward loop at one instruction-set level (compiled once per level
// with PELOR_ISA naming it), through the one loop layer
// (elementwise/loops.hpp).
//
// The gradient passes unchanged (NaN included) where the input is > 0 and is
// +0 elsewhere: NaN, both zeros and negative inputs stop it, +infinity passes.
#include <cstdint>

#include "engine/cpu/elementwise/loops.hpp"
#include "engine/cpu/numeric/backward/functional_kernels.hpp"

namespace pelor::isa::PELOR_ISA {

namespace {

namespace ew = engine::cpu::elementwise;

// For a 16-bit float, x > 0 holds exactly for the bit patterns 0x0001 up to
// +infinity: the positive non-zero values. One unsigned comparison after
// subtracting 1 tests that range (0 wraps to 0xFFFF).
struct ReluBackward {
    static constexpr bool on_bits = true;
    float operator()(float g, float x) const { return x > 0.0f ? g : 0.0f; }
    F16 operator()(F16 g, F16 x) const { return passes<0x7C00>(x) ? g : F16::from_bits(0); }
    BF16 operator()(BF16 g, BF16 x) const { return passes<0x7F80>(x) ? g : BF16::from_bits(0); }

    template <std::uint16_t inf, class T>
    static bool passes(T x) { return std::uint16_t(x.bits - 1u) < inf; }
};

}  // namespace

PELOR_KERNEL_TABLE_DEFINE(relu_backward_kernels) = {
    ew::loop<ReluBackward>, ew::loop<ReluBackward>, ew::loop<ReluBackward>};

}  // namespace pelor::isa::PELOR_ISA
