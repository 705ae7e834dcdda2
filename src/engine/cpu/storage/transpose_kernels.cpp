// Which level's transposing copies run on this processor.
#include "engine/cpu/storage/transpose_kernels.hpp"

#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu::storage {

const TransposeKernels& transpose_kernels() {
    static const TransposeKernels& table =
        for_this_cpu(isa::baseline::transpose_kernels, isa::avx2::transpose_kernels, isa::avx512::transpose_kernels);
    return table;
}

}  // namespace pelor::engine::cpu::storage
