#pragma once
// Gradient kernel of the rectifier, for F32, F16 and BF16: the gradient where
// the input is > 0, zero elsewhere, in the gradient's shape. The input must
// broadcast to that shape (a gradient may carry broadcast axes).
#include "base/error.hpp"
#include "base/half.hpp"
#include "base/ndarray.hpp"

namespace pelor::engine::cpu::numeric::backward {

template <class T>
KernelResult<NdArray<T>> relu_backward(const NdArray<T>& g, const NdArray<T>& x);

extern template KernelResult<NdArray<float>> relu_backward(const NdArray<float>&, const NdArray<float>&);
extern template KernelResult<NdArray<F16>> relu_backward(const NdArray<F16>&, const NdArray<F16>&);
extern template KernelResult<NdArray<BF16>> relu_backward(const NdArray<BF16>&, const NdArray<BF16>&);

}  // namespace pelor::engine::cpu::numeric::backward
