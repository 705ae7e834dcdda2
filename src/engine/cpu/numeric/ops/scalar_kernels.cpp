// Which level's scalar loops run on this processor.
#include "engine/cpu/numeric/ops/scalar_kernels.hpp"

#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu::numeric::ops {

const ScalarKernels& scalar_kernels() {
    static const ScalarKernels& table = PELOR_FOR_THIS_CPU(scalar_kernels);
    return table;
}

}  // namespace pelor::engine::cpu::numeric::ops
