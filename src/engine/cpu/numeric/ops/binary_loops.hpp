#pragma once
// The run loops behind the binary and scalar kernels, one per operation and
// element type. Each instruction-set level (binary_loops.isa.cpp) provides one
// table; binary_loops() picks the table for this processor once. A loop
// receives one innermost run from the element-wise iterator, or a whole dense
// buffer with the number as a broadcast operand.
#include <type_traits>

#include "base/half.hpp"
#include "engine/cpu/elementwise/op_list.hpp"
#include "engine/cpu/elementwise/run.hpp"
#include "engine/cpu/kernel_table.hpp"

namespace pelor::engine::cpu::numeric::ops {

struct BinaryLoops {
    template <class T>
    using Arith = void (*)(const elementwise::Run<T, 2, T, 1>&);
    template <class T>
    using Compare = void (*)(const elementwise::Run<T, 2, bool, 1>&);

    // Indexed by elementwise::Arithmetic and elementwise::Comparison.
    Arith<float> f32_arith[elementwise::arithmetic_count];
    Arith<F16> f16_arith[elementwise::arithmetic_count];
    Arith<BF16> bf16_arith[elementwise::arithmetic_count];
    Compare<float> f32_compare[elementwise::comparison_count];
    Compare<F16> f16_compare[elementwise::comparison_count];
    Compare<BF16> bf16_compare[elementwise::comparison_count];
    Compare<bool> bool_compare[elementwise::comparison_count];

    template <class T>
    Arith<T> arithmetic(elementwise::Arithmetic op) const {
        if constexpr (std::is_same_v<T, float>) return f32_arith[int(op)];
        else if constexpr (std::is_same_v<T, F16>) return f16_arith[int(op)];
        else return bf16_arith[int(op)];
    }
    template <class T>
    Compare<T> compare(elementwise::Comparison op) const {
        if constexpr (std::is_same_v<T, float>) return f32_compare[int(op)];
        else if constexpr (std::is_same_v<T, F16>) return f16_compare[int(op)];
        else if constexpr (std::is_same_v<T, BF16>) return bf16_compare[int(op)];
        else return bool_compare[int(op)];
    }
};

}  // namespace pelor::engine::cpu::numeric::ops

// binary_loops(): the table for the processor we run on (chosen once).
PELOR_KERNEL_TABLE(pelor::engine::cpu::numeric::ops, BinaryLoops, binary_loops)
