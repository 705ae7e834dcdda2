// Which level's rectifier loops run on this processor.
#include "engine/cpu/numeric/ops/relu_kernels.hpp"

#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu::numeric::ops {

const ReluKernels& relu_kernels() {
    static const ReluKernels& table = []() -> const ReluKernels& {
        switch (isa_level()) {
            case IsaLevel::avx512: return isa::avx512::relu_kernels;
            case IsaLevel::avx2: return isa::avx2::relu_kernels;
            case IsaLevel::baseline: break;
        }
        return isa::baseline::relu_kernels;
    }();
    return table;
}

}  // namespace pelor::engine::cpu::numeric::ops
