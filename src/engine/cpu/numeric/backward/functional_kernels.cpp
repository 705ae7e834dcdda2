// Which level's relu_backward loop runs on this processor.
#include "engine/cpu/numeric/backward/functional_kernels.hpp"

#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu::numeric::backward {

const ReluBackwardKernels& relu_backward_kernels() {
    static const ReluBackwardKernels& table = PELOR_FOR_THIS_CPU(relu_backward_kernels);
    return table;
}

}  // namespace pelor::engine::cpu::numeric::backward
