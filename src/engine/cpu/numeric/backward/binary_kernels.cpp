// Which level's div_backward loop runs on this processor.
#include "engine/cpu/numeric/backward/binary_kernels.hpp"

#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu::numeric::backward {

const DivBackwardKernels& div_backward_kernels() {
    static const DivBackwardKernels& table = []() -> const DivBackwardKernels& {
        switch (isa_level()) {
            case IsaLevel::avx512: return isa::avx512::div_backward_kernels;
            case IsaLevel::avx2: return isa::avx2::div_backward_kernels;
            case IsaLevel::baseline: break;
        }
        return isa::baseline::div_backward_kernels;
    }();
    return table;
}

}  // namespace pelor::engine::cpu::numeric::backward
