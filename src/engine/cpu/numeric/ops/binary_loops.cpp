#include "engine/cpu/numeric/ops/binary_loops.hpp"

#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu::numeric::ops {

const BinaryLoops& binary_loops() {
    // Chosen once; the tables themselves are constant.
    static const BinaryLoops* const table = [] {
        switch (isa_level()) {
            case IsaLevel::avx512: return &isa::avx512::binary_loops;
            case IsaLevel::avx2: return &isa::avx2::binary_loops;
            case IsaLevel::baseline: break;
        }
        return &isa::baseline::binary_loops;
    }();
    return *table;
}

}  // namespace pelor::engine::cpu::numeric::ops
