// Which level's rectifier loops run on this processor.
#include "engine/cpu/numeric/ops/relu_kernels.hpp"

#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu::numeric::ops {

const ReluKernels& relu_kernels() {
    static const ReluKernels& table = PELOR_FOR_THIS_CPU(relu_kernels);
    return table;
}

}  // namespace pelor::engine::cpu::numeric::ops
