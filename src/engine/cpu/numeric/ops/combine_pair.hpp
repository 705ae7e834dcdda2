#pragma once
// Two arrays of one element type broadcast to their common shape (NumPy rule)
// and walked in lock-step through the element-wise iterator by one run loop,
// into a new array in the combined layout; or the broadcasting message.
#include <array>
#include <utility>

#include "engine/cpu/elementwise/iterator.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"

namespace pelor::engine::cpu::numeric::ops {

template <class T, class Out>
KernelResult<NdArray<Out>> combine_pair(const NdArray<T>& a, const NdArray<T>& b,
                                        void (*loop)(const elementwise::Run<T, 2, Out, 1>&)) {
    // Equal shapes broadcast to themselves: skip building the views.
    if (a.shape() == b.shape()) {
        auto out = elementwise::combine<Out, 1>(ShapeSpan(a.shape()), std::array{a.data(), b.data()},
                                                std::array{StridesSpan(a.strides()), StridesSpan(b.strides())}, loop);
        if (!out) return std::unexpected(out.error());
        return std::move((*out)[0]);
    }
    auto views = broadcast_tensors(a, b);
    if (!views) return std::unexpected(std::move(views.error()));
    auto out = elementwise::combine<Out, 1>(std::array{std::move(views->first), std::move(views->second)}, loop);
    if (!out) return std::unexpected(out.error());
    return std::move((*out)[0]);
}

}  // namespace pelor::engine::cpu::numeric::ops
