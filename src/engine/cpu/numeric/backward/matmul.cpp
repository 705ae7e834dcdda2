#include "engine/cpu/numeric/backward/matmul.hpp"

#include <utility>

#include "engine/cpu/numeric/ops/matmul.hpp"

namespace pelor::engine::cpu::numeric::backward {

namespace {

// The operand with its last two axes swapped: the same elements read through
// exchanged lengths and strides, which is what swapping the axes of a copy
// gives, without the copy. Rank below 2 stays as it is; the product refuses it.
template <class T>
ArrayView<T> swap_last_axes(const NdArray<T>& x) {
    ArrayView<T> v = x.view();
    if (const std::size_t n = v.ndim(); n >= 2) {
        std::swap(v.shape[n - 2], v.shape[n - 1]);
        std::swap(v.strides[n - 2], v.strides[n - 1]);
    }
    return v;
}

}  // namespace

template <class T>
KernelResult<ArrayPair<T>> matmul_backward(const NdArray<T>& g, const NdArray<T>& a, const NdArray<T>& b,
                                           Wanted wanted) {
    using Ops = ops::MatmulOps<T>;
    ArrayPair<T> out;
    if (wanted.lhs) {
        auto ga = Ops::do_matmul(g.view(), swap_last_axes(b));
        if (!ga) return std::unexpected(std::move(ga.error()));
        out.first.emplace(std::move(*ga));
    }
    if (wanted.rhs) {
        auto gb = Ops::do_matmul(swap_last_axes(a), g.view());
        if (!gb) return std::unexpected(std::move(gb.error()));
        out.second.emplace(std::move(*gb));
    }
    return out;
}

template KernelResult<ArrayPair<float>> matmul_backward(const NdArray<float>&, const NdArray<float>&,
                                                        const NdArray<float>&, Wanted);
template KernelResult<ArrayPair<F16>> matmul_backward(const NdArray<F16>&, const NdArray<F16>&, const NdArray<F16>&, Wanted);
template KernelResult<ArrayPair<BF16>> matmul_backward(const NdArray<BF16>&, const NdArray<BF16>&,
                                                       const NdArray<BF16>&, Wanted);

}  // namespace pelor::engine::cpu::numeric::backward
