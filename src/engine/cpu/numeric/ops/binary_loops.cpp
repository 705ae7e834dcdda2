#include "engine/cpu/numeric/ops/binary_loops.hpp"

#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu::numeric::ops {

const BinaryLoops& binary_loops() {
    static const BinaryLoops& table =
        for_this_cpu(isa::baseline::binary_loops, isa::avx2::binary_loops, isa::avx512::binary_loops);
    return table;
}

}  // namespace pelor::engine::cpu::numeric::ops
