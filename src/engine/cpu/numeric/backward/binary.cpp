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
KernelResult<ArrayPair<T>> mul_backward(const NdArray<T>& g, const NdArray<T>& a, const NdArray<T>& b,
                                        Wanted wanted) {
    ArrayPair<T> out;
    if (wanted.lhs) {
        auto ga = ops::arithmetic(ops::Arithmetic::mul, g, b);
        if (!ga) return std::unexpected(std::move(ga.error()));
        out.first.emplace(std::move(*ga));
    }
    if (wanted.rhs) {
        auto gb = ops::arithmetic(ops::Arithmetic::mul, g, a);
        if (!gb) return std::unexpected(std::move(gb.error()));
        out.second.emplace(std::move(*gb));
    }
    return out;
}

template <class T>
KernelResult<ArrayPair<T>> div_backward(const NdArray<T>& g, const NdArray<T>& a, const NdArray<T>& b,
                                        Wanted wanted) {
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
    std::array views{std::move(*gv), std::move(*av), std::move(*bv)};

    const auto& loops = div_backward_loops<T>();
    constexpr auto row_major = elementwise::ResultLayout::row_major;
    ArrayPair<T> out;
    if (!wanted.lhs || !wanted.rhs) {
        if (!wanted.lhs && !wanted.rhs) return out;
        auto one = elementwise::combine<T, 1>(views, wanted.lhs ? loops.dividend : loops.divisor, row_major);
        if (!one) return std::unexpected(one.error());
        (wanted.lhs ? out.first : out.second).emplace(std::move((*one)[0]));
        return out;
    }
    // Every element of both outputs is written, so they are not zero-filled.
    auto both = elementwise::combine<T, 2>(views, loops.both, row_major);
    if (!both) return std::unexpected(both.error());
    out.first.emplace(std::move((*both)[0]));
    out.second.emplace(std::move((*both)[1]));
    return out;
}

template KernelResult<ArrayPair<float>> mul_backward(const NdArray<float>&, const NdArray<float>&,
                                                     const NdArray<float>&, Wanted);
template KernelResult<ArrayPair<F16>> mul_backward(const NdArray<F16>&, const NdArray<F16>&, const NdArray<F16>&, Wanted);
template KernelResult<ArrayPair<BF16>> mul_backward(const NdArray<BF16>&, const NdArray<BF16>&,
                                                    const NdArray<BF16>&, Wanted);
template KernelResult<ArrayPair<float>> div_backward(const NdArray<float>&, const NdArray<float>&,
                                                     const NdArray<float>&, Wanted);
template KernelResult<ArrayPair<F16>> div_backward(const NdArray<F16>&, const NdArray<F16>&, const NdArray<F16>&, Wanted);
template KernelResult<ArrayPair<BF16>> div_backward(const NdArray<BF16>&, const NdArray<BF16>&,
                                                    const NdArray<BF16>&, Wanted);

}  // namespace pelor::engine::cpu::numeric::backward
