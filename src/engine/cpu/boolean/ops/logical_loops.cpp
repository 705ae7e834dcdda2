#include "engine/cpu/boolean/ops/logical_loops.hpp"

#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu::boolean::ops {

const LogicalLoops& logical_loops() {
    static const LogicalLoops& table =
        for_this_cpu(isa::baseline::logical_loops, isa::avx2::logical_loops, isa::avx512::logical_loops);
    return table;
}

}  // namespace pelor::engine::cpu::boolean::ops
