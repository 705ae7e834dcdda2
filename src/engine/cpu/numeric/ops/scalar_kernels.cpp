// Which level's scalar loops run on this processor.
#include "engine/cpu/numeric/ops/scalar_kernels.hpp"

#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu::numeric::ops {

const ScalarKernels& scalar_kernels() {
    static const ScalarKernels& table =
        for_this_cpu(isa::baseline::scalar_kernels, isa::avx2::scalar_kernels, isa::avx512::scalar_kernels);
    return table;
}

}  // namespace pelor::engine::cpu::numeric::ops
