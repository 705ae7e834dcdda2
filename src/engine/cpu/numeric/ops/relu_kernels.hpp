#pragma once
// The flat loops of the rectifier, one table per instruction-set level
// (relu_kernels.isa.cpp); relu_kernels() picks the table for this processor.
// The 16-bit loops work on raw bit patterns with integer comparisons.
#include <cstddef>
#include <cstdint>

namespace pelor::engine::cpu::numeric::ops {

struct ReluKernels {
    void (*f32)(const float* in, float* out, std::size_t n);
    void (*f16)(const std::uint16_t* in, std::uint16_t* out, std::size_t n);
    void (*bf16)(const std::uint16_t* in, std::uint16_t* out, std::size_t n);
};

// The table for the processor we run on (chosen once).
const ReluKernels& relu_kernels();

}  // namespace pelor::engine::cpu::numeric::ops

namespace pelor::isa::baseline {
extern const engine::cpu::numeric::ops::ReluKernels relu_kernels;
}
namespace pelor::isa::avx2 {
extern const engine::cpu::numeric::ops::ReluKernels relu_kernels;
}
namespace pelor::isa::avx512 {
extern const engine::cpu::numeric::ops::ReluKernels relu_kernels;
}
