// Which level's transposing copies run on this processor.
#include "engine/cpu/storage/transpose_kernels.hpp"

#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu::storage {

const TransposeKernels& transpose_kernels() {
    static const TransposeKernels& table = PELOR_FOR_THIS_CPU(transpose_kernels);
    return table;
}

}  // namespace pelor::engine::cpu::storage
