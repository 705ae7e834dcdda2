// The rectifier loops at one instruction-set level (compiled once per level
// with PELOR_ISA naming it), through the one loop layer
// (elementwise/loops.hpp).
#include "engine/cpu/elementwise/loops.hpp"
#include "engine/cpu/numeric/ops/relu_kernels.hpp"

namespace pelor::isa::PELOR_ISA {

namespace {

namespace ew = engine::cpu::elementwise;
using std::uint16_t;

// e > 0 is false for NaN and for both zeros, so those give +0. Read as an
// unsigned integer, a 16-bit float below the smallest positive NaN pattern
// has a clear sign bit and is not a NaN: it is kept. Everything else
// (negative values, -0, NaNs of either sign) becomes +0.
struct Relu {
    static constexpr bool on_bits = true;
    float operator()(float e) const { return e > 0.0f ? e : 0.0f; }
    F16 operator()(F16 e) const { return e.bits < uint16_t(0x7C01) ? e : F16::from_bits(0); }
    BF16 operator()(BF16 e) const { return e.bits < uint16_t(0x7F81) ? e : BF16::from_bits(0); }
};

}  // namespace

PELOR_KERNEL_TABLE_DEFINE(relu_kernels) = {ew::loop<Relu>, ew::loop<Relu>, ew::loop<Relu>};

}  // namespace pelor::isa::PELOR_ISA
