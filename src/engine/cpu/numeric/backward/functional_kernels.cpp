// Which level's relu_backward loop runs on this processor.
#include "engine/cpu/numeric/backward/functional_kernels.hpp"

#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu::numeric::backward {

const ReluBackwardKernels& relu_backward_kernels() {
    static const ReluBackwardKernels& table = []() -> const ReluBackwardKernels& {
        switch (isa_level()) {
            case IsaLevel::avx512: return isa::avx512::relu_backward_kernels;
            case IsaLevel::avx2: return isa::avx2::relu_backward_kernels;
            case IsaLevel::baseline: break;
        }
        return isa::baseline::relu_backward_kernels;
    }();
    return table;
}

}  // namespace pelor::engine::cpu::numeric::backward
