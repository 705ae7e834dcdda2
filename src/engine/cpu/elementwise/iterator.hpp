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
// run.hpp). The walk (strided_walk.hpp) visits axes in the outputs' memory
// order, drops length-1 axes and merges adjacent axes contiguous in every
// operand, so operands that share one contiguous layout arrive as one run.
// The loop is called only when there is at least one element; every output
// element is covered by exactly one run, so the outputs need no
// initialisation. An output that cannot be allocated is returned as the
// failure, before any loop runs.
#include <array>
#include <cassert>
#include <optional>
#include <utility>

#include "base/ndarray.hpp"
#include "engine/cpu/elementwise/layout.hpp"
#include "engine/cpu/elementwise/run.hpp"
#include "engine/cpu/strided_walk.hpp"

namespace pelor::engine::cpu::elementwise {

enum class ResultLayout { combined, row_major };

// The run loop over raw pointers: all inputs have `shape` with their own
// strides (in elements); the outputs are dense with `out_strides`, row-major,
// or column-major when `column_major`.
template <class In, std::size_t N, class Out, std::size_t M, class Loop>
void for_each_run(ShapeSpan shape, const std::array<const In*, N>& in, const std::array<StridesSpan, N>& strides,
                  const std::array<Out*, M>& out, StridesSpan out_strides, bool column_major, Loop&& loop) {
    static_assert(N > 0 && M > 0);
    // Inputs laid out exactly like the dense outputs (operands of one shape
    // and layout, the common case) form one run: small arrays skip planning.
    // A plain loop: for a few strides, std::ranges::equal's memcmp costs more.
    bool one_run = true;
    for (std::size_t j = 0; j < N; ++j)
        for (std::size_t a = 0; a < out_strides.size(); ++a) one_run = one_run && strides[j][a] == out_strides[a];
    if (one_run) {
        const std::size_t count = element_count(shape);
        if (count == 0) return;
        Run<In, N, Out, M> run{in, {}, out, count};
        run.stride.fill(1);
        loop(std::as_const(run));
        return;
    }
    std::array<StridesSpan, N + M> all;
    for (std::size_t j = 0; j < N; ++j) all[j] = strides[j];
    for (std::size_t j = 0; j < M; ++j) all[N + j] = out_strides;
    const auto plan = plan_walk(shape, all, column_major ? WalkOrder::column_major : WalkOrder::row_major);

    // The outputs are dense in the order walked, so they merge wherever the
    // inputs do and step by 1 along every run.
    Run<In, N, Out, M> run{in, {}, out, plan.len[0]};
    for (std::size_t j = 0; j < N; ++j) run.stride[j] = plan.stride[0][j];
    assert(plan.ndim == 0 || plan.stride[0][N] == 1);
    walk<1>(plan, [&](const auto& off) {
        for (std::size_t j = 0; j < N; ++j) run.in[j] = in[j] + off[j];
        for (std::size_t j = 0; j < M; ++j) run.out[j] = out[j] + off[N + j];
        loop(std::as_const(run));
    });
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
    for_each_run(shape, in, strides, out_ptr, StridesSpan(out_strides), column_major, loop);
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
