#pragma once
// The one strided iterator behind every multi-operand element-wise operation
// (arithmetic, comparisons, logical operations, gradient kernels).
//
// Usage: broadcast the operands to one shape first (numeric::ops::
// broadcast_tensors or broadcast_to), then (map_run from map_run.hpp)
//
//   namespace ew = pelor::engine::cpu::elementwise;
//   Allocated<std::array<NdArray<float>, 1>> r = ew::combine<float, 1>(
//       std::array{view_a, view_b},
//       [](const ew::Run<float, 2, float, 1>& run) {
//           ew::map_run(run, [](float a, float b) { return a + b; });
//       });
//
// combine<Out, M>() takes N input views of one shape, allocates M outputs of
// that shape in the chosen layout (ResultLayout::combined: row-major unless
// the inputs lean column-major, see layout.hpp; ResultLayout::row_major:
// always default strides), and calls `loop(run)` once per innermost run (see
// run.hpp). Axes are visited in the outputs' memory order, length-1 axes are
// dropped, and adjacent axes contiguous in every input are merged, so
// operands that share one contiguous layout arrive as a single run. The loop
// is called only when there is at least one element; every output element is
// covered by exactly one run, so the outputs need no initialisation. An output
// that cannot be allocated is returned as the failure, before any loop runs.
#include <array>
#include <cassert>
#include <optional>
#include <utility>

#include "base/ndarray.hpp"
#include "engine/cpu/elementwise/layout.hpp"
#include "engine/cpu/elementwise/run.hpp"

namespace pelor::engine::cpu::elementwise {

enum class ResultLayout { combined, row_major };

// The run loop over raw pointers: all inputs have `shape` with their own
// strides (in elements); the outputs are dense, row-major, or column-major
// when `column_major`.
template <class In, std::size_t N, class Out, std::size_t M, class Loop>
void for_each_run(ShapeSpan shape, const std::array<const In*, N>& in, const std::array<StridesSpan, N>& strides,
                  const std::array<Out*, M>& out, bool column_major, Loop&& loop) {
    static_assert(N > 0 && M > 0);
    const std::size_t nd = shape.size();
    for (std::size_t d : shape)
        if (d == 0) return;

    // Kept axes, innermost first. A kept axis is at least 2 long and the
    // element count fits in a signed word, so fewer than 64 remain.
    std::size_t dims[max_ndim];
    std::ptrdiff_t st[max_ndim][N];
    std::size_t k = 0;
    for (std::size_t i = 0; i < nd; ++i) {
        const std::size_t axis = column_major ? i : nd - 1 - i;
        const std::size_t d = shape[axis];
        if (d == 1) continue;
        if (k > 0) {
            bool merge = true;
            for (std::size_t j = 0; j < N; ++j)
                merge = merge && strides[j][axis] == st[k - 1][j] * std::ptrdiff_t(dims[k - 1]);
            if (merge) {
                dims[k - 1] *= d;
                continue;
            }
        }
        assert(k < max_ndim);
        dims[k] = d;
        for (std::size_t j = 0; j < N; ++j) st[k][j] = strides[j][axis];
        ++k;
    }

    Run<In, N, Out, M> run{in, {}, out, k ? dims[0] : 1};
    for (std::size_t j = 0; j < N; ++j) run.stride[j] = k ? st[0][j] : 0;
    if (k <= 1) {
        loop(std::as_const(run));
        return;
    }

    // Odometer over the outer axes; outputs advance by one run each time.
    std::size_t idx[max_ndim];
    for (std::size_t a = 1; a < k; ++a) idx[a] = 0;
    std::array<std::ptrdiff_t, N> off{};
    for (;;) {
        loop(std::as_const(run));
        for (std::size_t j = 0; j < M; ++j) run.out[j] += run.count;
        std::size_t a = 1;
        for (; a < k; ++a) {
            if (++idx[a] < dims[a]) {
                for (std::size_t j = 0; j < N; ++j) off[j] += st[a][j];
                break;
            }
            idx[a] = 0;
            for (std::size_t j = 0; j < N; ++j) off[j] -= st[a][j] * std::ptrdiff_t(dims[a] - 1);
        }
        if (a == k) return;
        for (std::size_t j = 0; j < N; ++j) run.in[j] = in[j] + off[j];
    }
}

// combine() over raw operands: input k starts at in[k] and has `shape` with
// strides[k]. Saves building views when the operands already share a shape.
template <class Out, std::size_t M, class In, std::size_t N, class Loop>
Allocated<std::array<NdArray<Out>, M>> combine(ShapeSpan shape, const std::array<const In*, N>& in,
                                               const std::array<StridesSpan, N>& strides, Loop&& loop,
                                               ResultLayout layout = ResultLayout::combined) {
    const bool column_major = layout == ResultLayout::combined && choose_column_major(shape, strides);
    const Strides out_strides = column_major ? column_major_strides(shape) : default_strides(shape);
    std::array<std::optional<NdArray<Out>>, M> made;
    for (auto& m : made) {
        auto a = NdArray<Out>::allocate(Shape(shape.begin(), shape.end()), out_strides);
        if (!a) return std::unexpected(a.error());
        m.emplace(std::move(*a));
    }
    std::array<Out*, M> out_ptr;
    for (std::size_t j = 0; j < M; ++j) out_ptr[j] = made[j]->data();
    for_each_run(shape, in, strides, out_ptr, column_major, loop);
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<NdArray<Out>, M>{std::move(*made[I])...};
    }(std::make_index_sequence<M>{});
}

template <class Out, std::size_t M, class In, std::size_t N, class Loop>
Allocated<std::array<NdArray<Out>, M>> combine(const std::array<ArrayView<In>, N>& views, Loop&& loop,
                                               ResultLayout layout = ResultLayout::combined) {
    std::array<StridesSpan, N> strides;
    std::array<const In*, N> in;
    for (std::size_t j = 0; j < N; ++j) {
        assert(views[j].shape == views[0].shape);
        strides[j] = views[j].strides;
        in[j] = views[j].data;
    }
    return combine<Out, M>(ShapeSpan(views[0].shape), in, strides, loop, layout);
}

}  // namespace pelor::engine::cpu::elementwise
