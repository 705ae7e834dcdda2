#pragma once
// Typed kernels that combine every element of one array with one binary32
// scalar: the arithmetic of elementwise::ScalarArithmetic and the
// comparisons, run by the binary loops with the scalar as a broadcast right
// operand over the dense buffer. The element is always the left operand.
// Instantiated for F16, BF16 and float.
//
// The scalar is rounded to the element type once (binary16: nearest even;
// bfloat16: nearest even, NaN quieted); 16-bit arithmetic is then binary32 on
// the widened operands, rounded once. The result has the input's shape and
// strides, each element at its source element's buffer position, so a
// transposed input gives a transposed result. The only failure is a result
// that cannot be allocated.
#include "base/half.hpp"
#include "base/ndarray.hpp"
#include "engine/cpu/elementwise/op_list.hpp"

namespace pelor::engine::cpu::numeric::ops::scalar {

using elementwise::Comparison;
using elementwise::ScalarArithmetic;

template <class T> Allocated<NdArray<T>> arithmetic(ScalarArithmetic op, const NdArray<T>& a, float x);
template <class T> Allocated<NdArray<bool>> compare(Comparison op, const NdArray<T>& a, float x);

}  // namespace pelor::engine::cpu::numeric::ops::scalar
