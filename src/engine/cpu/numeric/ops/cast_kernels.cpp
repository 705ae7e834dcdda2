// Which level's cast loops run on this processor.
#include "engine/cpu/numeric/ops/cast_kernels.hpp"

#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu::numeric::ops {

const CastKernels& cast_kernels() {
    static const CastKernels& table =
        for_this_cpu(isa::baseline::cast_kernels, isa::avx2::cast_kernels, isa::avx512::cast_kernels);
    return table;
}

}  // namespace pelor::engine::cpu::numeric::ops
