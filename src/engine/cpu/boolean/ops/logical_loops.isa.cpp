// The logical run loops at one instruction-set level: byte loops the compiler
// vectorises, through the one loop layer (elementwise/loops.hpp).
#include "engine/cpu/boolean/ops/logical_loops.hpp"
#include "engine/cpu/elementwise/loops.hpp"
#include "engine/cpu/elementwise/rules.hpp"

namespace pelor::isa::PELOR_ISA {

namespace ew = engine::cpu::elementwise;

// One row per operation of op_list.hpp, in its order.
#define PELOR_ROW(name, Rule) ew::loop<ew::Rule>,
PELOR_KERNEL_TABLE_DEFINE(logical_loops) = {
    {PELOR_LOGICAL(PELOR_ROW)},
    ew::loop<ew::Not>,
};
#undef PELOR_ROW

}  // namespace pelor::isa::PELOR_ISA
