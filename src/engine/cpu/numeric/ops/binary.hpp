#pragma once
// The typed binary kernels: arithmetic for F32, F16 and BF16, comparisons for
// those and Bool. Each broadcasts its two operands (NumPy rule), walks them in
// lock-step through the element-wise iterator and returns a new array in the
// combined layout, or the broadcasting message.
#include "base/error.hpp"
#include "base/half.hpp"
#include "base/ndarray.hpp"
#include "engine/cpu/elementwise/op_list.hpp"

namespace pelor::engine::cpu::numeric::ops {

using elementwise::Arithmetic;
using elementwise::Comparison;

template <class T>
KernelResult<NdArray<T>> arithmetic(Arithmetic op, const NdArray<T>& a, const NdArray<T>& b);
template <class T>
KernelResult<NdArray<bool>> compare(Comparison op, const NdArray<T>& a, const NdArray<T>& b);

#define PELOR_BINARY_KERNELS(T) \
    extern template KernelResult<NdArray<T>> arithmetic<T>(Arithmetic, const NdArray<T>&, const NdArray<T>&);
#define PELOR_COMPARE_KERNELS(T) \
    extern template KernelResult<NdArray<bool>> compare<T>(Comparison, const NdArray<T>&, const NdArray<T>&);
PELOR_BINARY_KERNELS(float)
PELOR_BINARY_KERNELS(F16)
PELOR_BINARY_KERNELS(BF16)
PELOR_COMPARE_KERNELS(float)
PELOR_COMPARE_KERNELS(F16)
PELOR_COMPARE_KERNELS(BF16)
PELOR_COMPARE_KERNELS(bool)
#undef PELOR_BINARY_KERNELS
#undef PELOR_COMPARE_KERNELS

}  // namespace pelor::engine::cpu::numeric::ops
