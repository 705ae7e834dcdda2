// The binary run loops at one instruction-set level (compiled once per level
// with PELOR_ISA naming it): one element rule per operation of op_list.hpp,
// applied by the one loop layer (elementwise/loops.hpp).
#include "engine/cpu/elementwise/loops.hpp"
#include "engine/cpu/elementwise/rules.hpp"
#include "engine/cpu/numeric/ops/binary_loops.hpp"

namespace pelor::isa::PELOR_ISA {

namespace ew = engine::cpu::elementwise;

// One row per operation of op_list.hpp, in its order.
#define PELOR_ROW(name, Rule, ...) ew::loop<ew::Rule>,
PELOR_KERNEL_TABLE_DEFINE(binary_loops) = {
    {PELOR_ARITHMETIC(PELOR_ROW)},  {PELOR_ARITHMETIC(PELOR_ROW)},  {PELOR_ARITHMETIC(PELOR_ROW)},
    {PELOR_COMPARISONS(PELOR_ROW)}, {PELOR_COMPARISONS(PELOR_ROW)}, {PELOR_COMPARISONS(PELOR_ROW)},
    {PELOR_COMPARISONS(PELOR_ROW)},
};
#undef PELOR_ROW

}  // namespace pelor::isa::PELOR_ISA
