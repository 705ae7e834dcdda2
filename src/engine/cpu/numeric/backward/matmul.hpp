#pragma once
// Gradient kernel of the batched matrix product, for F32, F16 and BF16:
// (g · bᵀ, aᵀ · g), where ᵀ swaps the last two axes. The products are the
// forward ones (binary32, 16-bit types rounded once), so batch axes broadcast
// and an operand whose batch axes were stretched gets the stretched shape.
#include "base/error.hpp"
#include "base/half.hpp"
#include "base/ndarray.hpp"
#include "engine/cpu/numeric/backward/binary.hpp"

namespace pelor::engine::cpu::numeric::backward {

template <class T>
KernelResult<ArrayPair<T>> matmul_backward(const NdArray<T>& g, const NdArray<T>& a, const NdArray<T>& b,
                                          Wanted wanted);

extern template KernelResult<ArrayPair<float>> matmul_backward(const NdArray<float>&, const NdArray<float>&,
                                                               const NdArray<float>&, Wanted);
extern template KernelResult<ArrayPair<F16>> matmul_backward(const NdArray<F16>&, const NdArray<F16>&,
                                                             const NdArray<F16>&, Wanted);
extern template KernelResult<ArrayPair<BF16>> matmul_backward(const NdArray<BF16>&, const NdArray<BF16>&,
                                                              const NdArray<BF16>&, Wanted);

}  // namespace pelor::engine::cpu::numeric::backward
