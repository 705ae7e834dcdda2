#pragma once
// Gradient kernels of the element-wise product and quotient, for F32, F16 and
// BF16. They take the gradient first, then the left and right operands, and
// return (gradient of left, gradient of right) in the broadcast shape: nothing
// is reduced over broadcast axes.
#include <optional>
#include <utility>

#include "base/error.hpp"
#include "base/half.hpp"
#include "base/ndarray.hpp"
#include "engine/cpu/numeric/backward/wanted.hpp"

namespace pelor::engine::cpu::numeric::backward {

template <class T>
using ArrayPair = std::pair<std::optional<NdArray<T>>, std::optional<NdArray<T>>>;

// g * b and g * a with the forward product kernel: each has the broadcast
// shape of its two factors and the combined layout.
template <class T>
KernelResult<ArrayPair<T>> mul_backward(const NdArray<T>& g, const NdArray<T>& a, const NdArray<T>& b, Wanted wanted);

// g / b and -(g * a) / (b * b), both over the common shape of g, a and b,
// in standard layout, computed in one pass. Each is rounded once to the
// element type (the second computed in binary64, where no intermediate
// overflows or underflows), so a representable result is never lost.
template <class T>
KernelResult<ArrayPair<T>> div_backward(const NdArray<T>& g, const NdArray<T>& a, const NdArray<T>& b, Wanted wanted);

extern template KernelResult<ArrayPair<float>> mul_backward(const NdArray<float>&, const NdArray<float>&,
                                                            const NdArray<float>&, Wanted);
extern template KernelResult<ArrayPair<F16>> mul_backward(const NdArray<F16>&, const NdArray<F16>&,
                                                          const NdArray<F16>&, Wanted);
extern template KernelResult<ArrayPair<BF16>> mul_backward(const NdArray<BF16>&, const NdArray<BF16>&,
                                                           const NdArray<BF16>&, Wanted);
extern template KernelResult<ArrayPair<float>> div_backward(const NdArray<float>&, const NdArray<float>&,
                                                            const NdArray<float>&, Wanted);
extern template KernelResult<ArrayPair<F16>> div_backward(const NdArray<F16>&, const NdArray<F16>&,
                                                          const NdArray<F16>&, Wanted);
extern template KernelResult<ArrayPair<BF16>> div_backward(const NdArray<BF16>&, const NdArray<BF16>&,
                                                           const NdArray<BF16>&, Wanted);

}  // namespace pelor::engine::cpu::numeric::backward
