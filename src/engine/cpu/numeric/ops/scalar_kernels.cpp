// Which level's scalar loops run on this processor.
#include "engine/cpu/numeric/ops/scalar_kernels.hpp"

#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu::numeric::ops {

const ScalarKernels& scalar_kernels() {
    static const ScalarKernels& table = []() -> const ScalarKernels& {
        switch (isa_level()) {
            case IsaLevel::avx512: return isa::avx512::scalar_kernels;
            case IsaLevel::avx2: return isa::avx2::scalar_kernels;
            case IsaLevel::baseline: break;
        }
        return isa::baseline::scalar_kernels;
    }();
    return table;
}

}  // namespace pelor::engine::cpu::numeric::ops
