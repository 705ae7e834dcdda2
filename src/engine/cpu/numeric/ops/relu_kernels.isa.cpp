// The rectifier loops at one instruction-set level (compiled once per level
// with PELOR_ISA naming it). Plain loops the compiler vectorises; internal
// linkage only, so nothing compiled for a wide level leaks into baseline code.
#include "engine/cpu/numeric/ops/relu_kernels.hpp"

namespace pelor::isa::PELOR_ISA {

namespace {

using engine::cpu::numeric::ops::ReluKernels;
using std::size_t;
using u16 = std::uint16_t;

// e > 0 is false for NaN and for both zeros, so those give +0.
void relu_f32(const float* __restrict in, float* __restrict out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = in[i] > 0.0f ? in[i] : 0.0f;
}

// Read as an unsigned integer, a 16-bit float below `limit` (the smallest
// positive NaN pattern) has a clear sign bit and is not a NaN: it is kept.
// Everything else (negative values, -0, NaNs of either sign) becomes +0.
template <u16 limit>
void relu_bits(const u16* __restrict in, u16* __restrict out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = in[i] < limit ? in[i] : u16(0);
}

}  // namespace

PELOR_KERNEL_TABLE_DEFINE(relu_kernels) = {relu_f32, relu_bits<0x7C01>, relu_bits<0x7F81>};

}  // namespace pelor::isa::PELOR_ISA
