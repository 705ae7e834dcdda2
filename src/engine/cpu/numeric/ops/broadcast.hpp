#pragma once
// The NumPy broadcasting rule: shapes align at their last axis, missing
// leading axes count as 1, and a length-1 axis stretches through stride 0.
#include <utility>

#include "base/error.hpp"
#include "base/ndarray.hpp"

namespace pelor::engine::cpu::numeric::ops {

// The common shape, or "Shape mismatch: cannot broadcast [..] and [..]".
KernelResult<Shape> broadcast_shapes(ShapeSpan a, ShapeSpan b);

// Strides that view an array of `shape`/`strides` with `target` shape, or
// nullopt when it cannot be stretched there or the target's non-zero axis
// product does not fit in a signed machine word.
std::optional<Strides> broadcast_strides(ShapeSpan shape, StridesSpan strides, ShapeSpan target);

template <class T>
std::optional<ArrayView<T>> broadcast_to(const ArrayView<T>& a, const Shape& target) {
    auto s = broadcast_strides(a.shape, a.strides, target);
    if (!s) return std::nullopt;
    return ArrayView<T>{a.data, target, std::move(*s)};
}

// Two read-only views with the common shape; nothing is copied.
template <class T>
KernelResult<std::pair<ArrayView<T>, ArrayView<T>>> broadcast_tensors(const ArrayView<T>& a,
                                                                      const ArrayView<T>& b) {
    auto common = broadcast_shapes(a.shape, b.shape);
    if (!common) return std::unexpected(std::move(common.error()));
    auto va = broadcast_to(a, *common);
    if (!va) return std::unexpected("Broadcast failed for A: " + shape_text(a.shape) + " -> " + shape_text(*common));
    auto vb = broadcast_to(b, *common);  // cannot fail once A's view exists
    return std::pair{std::move(*va), std::move(*vb)};
}

template <class T>
KernelResult<std::pair<ArrayView<T>, ArrayView<T>>> broadcast_tensors(const NdArray<T>& a, const NdArray<T>& b) {
    return broadcast_tensors(a.view(), b.view());
}

}  // namespace pelor::engine::cpu::numeric::ops
