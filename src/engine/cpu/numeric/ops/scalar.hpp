#pragma once
// Typed kernels that combine every element of one array with one binary32
// scalar: the arithmetic element functions scalar_add, scalar_sub and
// scalar_mul, and the five comparisons. The element is always the left
// operand. Instantiated for F16, BF16 and float.
//
// The scalar is rounded to the element type once (binary16: nearest even;
// bfloat16: nearest even, NaN quieted); 16-bit arithmetic is then binary32 on
// the widened operands, rounded once. The result has the input's shape and
// strides, each element at its source element's buffer position, so a
// transposed input gives a transposed result. The only failure is a result
// that cannot be allocated.
#include "base/half.hpp"
#include "base/ndarray.hpp"

namespace pelor::engine::cpu::numeric::ops::scalar {

template <class T> Allocated<NdArray<T>> scalar_add(const NdArray<T>& a, float x);
template <class T> Allocated<NdArray<T>> scalar_sub(const NdArray<T>& a, float x);
template <class T> Allocated<NdArray<T>> scalar_mul(const NdArray<T>& a, float x);

template <class T> Allocated<NdArray<bool>> scalar_eq(const NdArray<T>& a, float x);
template <class T> Allocated<NdArray<bool>> scalar_ge(const NdArray<T>& a, float x);
template <class T> Allocated<NdArray<bool>> scalar_gt(const NdArray<T>& a, float x);
template <class T> Allocated<NdArray<bool>> scalar_le(const NdArray<T>& a, float x);
template <class T> Allocated<NdArray<bool>> scalar_lt(const NdArray<T>& a, float x);

}  // namespace pelor::engine::cpu::numeric::ops::scalar
