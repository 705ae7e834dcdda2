// Which level's div_backward loop runs on this processor.
#include "engine/cpu/numeric/backward/binary_kernels.hpp"

#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu::numeric::backward {

const DivBackwardKernels& div_backward_kernels() {
    static const DivBackwardKernels& table = PELOR_FOR_THIS_CPU(div_backward_kernels);
    return table;
}

}  // namespace pelor::engine::cpu::numeric::backward
