#pragma once
// The run loops behind the binary kernels, one per operation and element type.
// Each instruction-set level (binary_loops.isa.cpp) provides one table;
// binary_loops() picks the table for this processor once. A loop receives one
// innermost run from the element-wise iterator.
#include "base/half.hpp"
#include "engine/cpu/elementwise/run.hpp"
#include "engine/cpu/kernel_table.hpp"

namespace pelor::engine::cpu::numeric::ops {

enum class BinaryArith { add, sub, mul, div };
enum class BinaryCompare { eq, ge, gt, le, lt };

struct BinaryLoops {
    template <class T>
    using Arith = void (*)(const elementwise::Run<T, 2, T, 1>&);
    template <class T>
    using Compare = void (*)(const elementwise::Run<T, 2, bool, 1>&);

    // Indexed by BinaryArith and BinaryCompare.
    Arith<float> f32_arith[4];
    Arith<F16> f16_arith[4];
    Arith<BF16> bf16_arith[4];
    Compare<float> f32_compare[5];
    Compare<F16> f16_compare[5];
    Compare<BF16> bf16_compare[5];
    Compare<bool> bool_compare[5];
};

}  // namespace pelor::engine::cpu::numeric::ops

// binary_loops(): the table for the processor we run on (chosen once).
PELOR_KERNEL_TABLE(pelor::engine::cpu::numeric::ops, BinaryLoops, binary_loops)
