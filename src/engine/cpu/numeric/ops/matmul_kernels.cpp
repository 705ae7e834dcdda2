#include "engine/cpu/numeric/ops/matmul_kernels.hpp"

#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu::numeric::ops {

namespace {

#define PELOR_MATMUL_KERNELS_TABLE(level)                                                                 \
    MatmulKernels {                                                                                       \
        isa::level::matmul_small_limit(), &isa::level::matmul_small_product, &isa::level::matmul_widen_f16, &isa::level::matmul_narrow_f16, \
            &isa::level::matmul_widen_bf16, &isa::level::matmul_narrow_bf16                               \
    }

MatmulKernels select() {
#if defined(PELOR_ISA_X86_64)
    switch (isa_level()) {
        case IsaLevel::avx512: return PELOR_MATMUL_KERNELS_TABLE(avx512);
        case IsaLevel::avx2: return PELOR_MATMUL_KERNELS_TABLE(avx2);
        case IsaLevel::baseline: break;
    }
#endif
    return PELOR_MATMUL_KERNELS_TABLE(baseline);
}

#undef PELOR_MATMUL_KERNELS_TABLE

}  // namespace

const MatmulKernels& matmul_kernels() {
    static const MatmulKernels table = select();  // thread-safe one-time choice
    return table;
}

}  // namespace pelor::engine::cpu::numeric::ops
