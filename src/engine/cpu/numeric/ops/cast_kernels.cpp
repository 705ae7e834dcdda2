// Which level's cast loops run on this processor.
#include "engine/cpu/numeric/ops/cast_kernels.hpp"

#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu::numeric::ops {

const CastKernels& cast_kernels() {
    static const CastKernels& table = PELOR_FOR_THIS_CPU(cast_kernels);
    return table;
}

}  // namespace pelor::engine::cpu::numeric::ops
