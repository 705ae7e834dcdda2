#pragma once
// Summing an array down to a shape that broadcasts to it: the inverse of
// broadcasting, as gradients need it. Every element of the result is the sum
// of the elements that broadcasting would have copied it to. Sums run in
// binary64 and are rounded once to the element type; the result is row-major.
#include "base/error.hpp"
#include "base/half.hpp"
#include "base/ndarray.hpp"

namespace pelor::engine::cpu::numeric::ops {

// `target` must broadcast to `a`'s shape, else "Cannot sum [..] down to [..]".
template <class T>
KernelResult<NdArray<T>> sum_to(const NdArray<T>& a, ShapeSpan target);

// A copy in row-major layout (the same values and shape).
template <class T>
Allocated<NdArray<T>> to_row_major(const NdArray<T>& a);

extern template KernelResult<NdArray<float>> sum_to(const NdArray<float>&, ShapeSpan);
extern template KernelResult<NdArray<F16>> sum_to(const NdArray<F16>&, ShapeSpan);
extern template KernelResult<NdArray<BF16>> sum_to(const NdArray<BF16>&, ShapeSpan);
extern template Allocated<NdArray<float>> to_row_major(const NdArray<float>&);
extern template Allocated<NdArray<F16>> to_row_major(const NdArray<F16>&);
extern template Allocated<NdArray<BF16>> to_row_major(const NdArray<BF16>&);
extern template Allocated<NdArray<bool>> to_row_major(const NdArray<bool>&);

}  // namespace pelor::engine::cpu::numeric::ops
