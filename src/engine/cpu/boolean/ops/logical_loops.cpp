#include "engine/cpu/boolean/ops/logical_loops.hpp"

#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu::boolean::ops {

const LogicalLoops& logical_loops() {
    static const LogicalLoops* const table = [] {
        switch (isa_level()) {
            case IsaLevel::avx512: return &isa::avx512::logical_loops;
            case IsaLevel::avx2: return &isa::avx2::logical_loops;
            case IsaLevel::baseline: break;
        }
        return &isa::baseline::logical_loops;
    }();
    return *table;
}

}  // namespace pelor::engine::cpu::boolean::ops
