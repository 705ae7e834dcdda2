#pragma once
// The typed binary kernels: arithmetic for F32, F16 and BF16, comparisons for
// those and Bool. Each broadcasts its two operands (NumPy rule), walks them in
// lock-step through the element-wise iterator and returns a new array in the
// combined layout, or the broadcasting message.
#include "base/error.hpp"
#include "base/half.hpp"
#include "base/ndarray.hpp"

namespace pelor::engine::cpu::numeric::ops {

template <class T> KernelResult<NdArray<T>> add(const NdArray<T>& a, const NdArray<T>& b);
template <class T> KernelResult<NdArray<T>> sub(const NdArray<T>& a, const NdArray<T>& b);
template <class T> KernelResult<NdArray<T>> mul(const NdArray<T>& a, const NdArray<T>& b);
template <class T> KernelResult<NdArray<T>> div(const NdArray<T>& a, const NdArray<T>& b);

template <class T> KernelResult<NdArray<bool>> eq(const NdArray<T>& a, const NdArray<T>& b);
template <class T> KernelResult<NdArray<bool>> ge(const NdArray<T>& a, const NdArray<T>& b);
template <class T> KernelResult<NdArray<bool>> gt(const NdArray<T>& a, const NdArray<T>& b);
template <class T> KernelResult<NdArray<bool>> le(const NdArray<T>& a, const NdArray<T>& b);
template <class T> KernelResult<NdArray<bool>> lt(const NdArray<T>& a, const NdArray<T>& b);

#define PELOR_BINARY_KERNELS(T)                                                          \
    extern template KernelResult<NdArray<T>> add<T>(const NdArray<T>&, const NdArray<T>&); \
    extern template KernelResult<NdArray<T>> sub<T>(const NdArray<T>&, const NdArray<T>&); \
    extern template KernelResult<NdArray<T>> mul<T>(const NdArray<T>&, const NdArray<T>&); \
    extern template KernelResult<NdArray<T>> div<T>(const NdArray<T>&, const NdArray<T>&);
#define PELOR_COMPARE_KERNELS(T)                                                              \
    extern template KernelResult<NdArray<bool>> eq<T>(const NdArray<T>&, const NdArray<T>&); \
    extern template KernelResult<NdArray<bool>> ge<T>(const NdArray<T>&, const NdArray<T>&); \
    extern template KernelResult<NdArray<bool>> gt<T>(const NdArray<T>&, const NdArray<T>&); \
    extern template KernelResult<NdArray<bool>> le<T>(const NdArray<T>&, const NdArray<T>&); \
    extern template KernelResult<NdArray<bool>> lt<T>(const NdArray<T>&, const NdArray<T>&);
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
