#include "engine/cpu/numeric/backward/binary.hpp"

#include <array>

#include "engine/cpu/elementwise/iterator.hpp"
#include "engine/cpu/numeric/backward/binary_kernels.hpp"
#include "engine/cpu/numeric/ops/binary.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"

namespace pelor::engine::cpu::numeric::backward {

namespace {

std::string refused(const char* operand, ShapeSpan shape, ShapeSpan common) {
    return std::string("Broadcast failed for ") + operand + ": " + shape_text(shape) + " -> " + shape_text(common);
}

}  // namespace

template <class T>
KernelResult<ArrayPair<T>> mul_backward(const NdArray<T>& g, const NdArray<T>& a, const NdArray<T>& b) {
    auto ga = ops::mul(g, b);
    if (!ga) return std::unexpected(std::move(ga.error()));
    auto gb = ops::mul(g, a);
    if (!gb) return std::unexpected(std::move(gb.error()));
    return ArrayPair<T>{std::move(*ga), std::move(*gb)};
}

template <class T>
KernelResult<ArrayPair<T>> div_backward(const NdArray<T>& g, const NdArray<T>& a, const NdArray<T>& b) {
    auto ga_views = ops::broadcast_tensors(g, a);
    if (!ga_views) return std::unexpected(std::move(ga_views.error()));
    auto common = ops::broadcast_shapes(ga_views->first.shape, b.shape());
    if (!common) return std::unexpected(std::move(common.error()));
    // With b's axes in the common shape, the views can only be refused when
    // its non-zero axis lengths multiply past 2^63 - 1 (a zero-length axis
    // keeps the operands themselves empty). Report it like the divisor's case.
    auto gv = ops::broadcast_to(ga_views->first, *common);
    if (!gv) return std::unexpected(refused("gradient", g.shape(), *common));
    auto av = ops::broadcast_to(ga_views->second, *common);
    if (!av) return std::unexpected(refused("LHS", a.shape(), *common));
    auto bv = ops::broadcast_to(b.view(), *common);
    if (!bv) return std::unexpected(refused("RHS", b.shape(), *common));

    // Every element of both outputs is written, so they are not zero-filled.
    auto out = elementwise::combine<T, 2>(std::array{std::move(*gv), std::move(*av), std::move(*bv)},
                                          div_backward_run<T>(), elementwise::ResultLayout::row_major);
    if (!out) return std::unexpected(out.error());
    return ArrayPair<T>{std::move((*out)[0]), std::move((*out)[1])};
}

template KernelResult<ArrayPair<float>> mul_backward(const NdArray<float>&, const NdArray<float>&,
                                                     const NdArray<float>&);
template KernelResult<ArrayPair<F16>> mul_backward(const NdArray<F16>&, const NdArray<F16>&, const NdArray<F16>&);
template KernelResult<ArrayPair<BF16>> mul_backward(const NdArray<BF16>&, const NdArray<BF16>&,
                                                    const NdArray<BF16>&);
template KernelResult<ArrayPair<float>> div_backward(const NdArray<float>&, const NdArray<float>&,
                                                     const NdArray<float>&);
template KernelResult<ArrayPair<F16>> div_backward(const NdArray<F16>&, const NdArray<F16>&, const NdArray<F16>&);
template KernelResult<ArrayPair<BF16>> div_backward(const NdArray<BF16>&, const NdArray<BF16>&,
                                                    const NdArray<BF16>&);

}  // namespace pelor::engine::cpu::numeric::backward
