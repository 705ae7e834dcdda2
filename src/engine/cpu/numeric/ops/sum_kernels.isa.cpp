// The loops of sums into binary64 at one instruction-set level (compiled once
// per level with PELOR_ISA naming it), through the one loop layer
// (elementwise/loops.hpp).
#include "engine/cpu/elementwise/loops.hpp"
#include "engine/cpu/numeric/ops/sum_kernels.hpp"

namespace pelor::isa::PELOR_ISA {

namespace ew = engine::cpu::elementwise;

PELOR_KERNEL_TABLE_DEFINE(sum_kernels) = {ew::sum<float>, ew::sum<F16>, ew::sum<BF16>};

}  // namespace pelor::isa::PELOR_ISA
