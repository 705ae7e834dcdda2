#include "engine/cpu/numeric/ops/binary_loops.hpp"

#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu::numeric::ops {

const BinaryLoops& binary_loops() {
    static const BinaryLoops& table = PELOR_FOR_THIS_CPU(binary_loops);
    return table;
}

}  // namespace pelor::engine::cpu::numeric::ops
