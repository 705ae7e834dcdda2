#include "engine/cpu/numeric/backward/functional.hpp"

#include <array>

#include "engine/cpu/elementwise/iterator.hpp"
#include "engine/cpu/numeric/backward/functional_kernels.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"

namespace pelor::engine::cpu::numeric::backward {

template <class T>
KernelResult<NdArray<T>> relu_backward(const NdArray<T>& g, const NdArray<T>& x) {
    // The result is laid out like any element-wise combination of its two
    // operands (row-major unless they lean column-major).
    if (g.shape() == x.shape()) {
        auto out = elementwise::combine<T, 1>(ShapeSpan(g.shape()), std::array<const T*, 2>{g.data(), x.data()},
                                              std::array<StridesSpan, 2>{g.strides(), x.strides()},
                                              relu_backward_run<T>());
        if (!out) return std::unexpected(out.error());
        return std::move((*out)[0]);
    }
    // A gradient with broadcast axes: the input's mask stretches along them.
    auto xv = ops::broadcast_to(x.view(), g.shape());
    if (!xv)
        return std::unexpected("Shape mismatch in relu_backward: grad " + shape_text(g.shape()) + "\n vs input " +
                               shape_text(x.shape()));
    auto out = elementwise::combine<T, 1>(std::array{g.view(), std::move(*xv)}, relu_backward_run<T>());
    if (!out) return std::unexpected(out.error());
    return std::move((*out)[0]);
}

template KernelResult<NdArray<float>> relu_backward(const NdArray<float>&, const NdArray<float>&);
template KernelResult<NdArray<F16>> relu_backward(const NdArray<F16>&, const NdArray<F16>&);
template KernelResult<NdArray<BF16>> relu_backward(const NdArray<BF16>&, const NdArray<BF16>&);

}  // namespace pelor::engine::cpu::numeric::backward
