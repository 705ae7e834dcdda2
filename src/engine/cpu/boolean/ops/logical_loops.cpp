#include "engine/cpu/boolean/ops/logical_loops.hpp"

#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu::boolean::ops {

const LogicalLoops& logical_loops() {
    static const LogicalLoops& table = PELOR_FOR_THIS_CPU(logical_loops);
    return table;
}

}  // namespace pelor::engine::cpu::boolean::ops
