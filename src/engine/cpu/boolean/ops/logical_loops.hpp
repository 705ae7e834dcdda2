#pragma once
// The run loops behind the logical kernels; one table per instruction-set
// level (logical_loops.isa.cpp), chosen once by logical_loops().
#include <cstddef>

#include "engine/cpu/elementwise/op_list.hpp"
#include "engine/cpu/elementwise/run.hpp"
#include "engine/cpu/kernel_table.hpp"

namespace pelor::engine::cpu::boolean::ops {

struct LogicalLoops {
    using Binary = void (*)(const elementwise::Run<bool, 2, bool, 1>&);
    using Unary = void (*)(const elementwise::Run<bool, 1, bool, 1>&);

    Binary binary[elementwise::logical_count];  // indexed by elementwise::Logical
    Unary negate;
};

}  // namespace pelor::engine::cpu::boolean::ops

// logical_loops(): the table for the processor we run on (chosen once).
PELOR_KERNEL_TABLE(pelor::engine::cpu::boolean::ops, LogicalLoops, logical_loops)
