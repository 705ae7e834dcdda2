// Which level's div_backward loop runs on this processor.
#include "engine/cpu/numeric/backward/binary_kernels.hpp"

#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu::numeric::backward {

const DivBackwardKernels& div_backward_kernels() {
    static const DivBackwardKernels& table =
        for_this_cpu(isa::baseline::div_backward_kernels, isa::avx2::div_backward_kernels, isa::avx512::div_backward_kernels);
    return table;
}

}  // namespace pelor::engine::cpu::numeric::backward
