#pragma once
// A generic inner loop for one run: applies an element functor with the three
// paths of the engine (all inputs contiguous; one input a broadcast scalar and
// the rest contiguous; generic strides). `op` takes N input values and returns
// one Out (M == 1) or std::array<Out, M>. The contiguous path is a plain loop
// that the compiler vectorises when `op` allows it.
//
// Hot kernels with hand-written vector routes (numeric/ops/binary*) have their
// own run functions; this one suits everything else, e.g. gradient kernels.
//
// Everything here is always inlined into its caller, so it is safe to use from
// *.isa.cpp files: no out-of-line copy compiled for a wide instruction set can
// be shared with baseline code by the linker.
#include <array>
#include <utility>

#include "engine/cpu/elementwise/run.hpp"

#define PELOR_ALWAYS_INLINE [[gnu::always_inline]] inline

namespace pelor::engine::cpu::elementwise {

namespace detail {

template <class Out, std::size_t M, class V>
PELOR_ALWAYS_INLINE void store(const std::array<Out*, M>& out, std::size_t i, const V& v) {
    if constexpr (M == 1) {
        out[0][i] = v;
    } else {
        for (std::size_t j = 0; j < M; ++j) out[j][i] = v[j];
    }
}

// Scalar = N: no broadcast scalar. Otherwise input `Scalar` is read once.
template <std::size_t Scalar, class In, std::size_t N, class Out, std::size_t M, class Op, std::size_t... I>
PELOR_ALWAYS_INLINE void unit_stride_loop(const Run<In, N, Out, M>& r, Op& op, std::index_sequence<I...>) {
    if constexpr (Scalar == N) {
        for (std::size_t i = 0; i < r.count; ++i) store(r.out, i, op(r.in[I][i]...));
    } else {
        const In s = r.in[Scalar][0];
        for (std::size_t i = 0; i < r.count; ++i) store(r.out, i, op((I == Scalar ? s : r.in[I][i])...));
    }
}

template <class In, std::size_t N, class Out, std::size_t M, class Op, std::size_t... I>
PELOR_ALWAYS_INLINE void strided_loop(const Run<In, N, Out, M>& r, Op& op, std::index_sequence<I...>) {
    for (std::size_t i = 0; i < r.count; ++i)
        store(r.out, i, op(r.in[I][std::ptrdiff_t(i) * r.stride[I]]...));
}

template <std::size_t S, class In, std::size_t N, class Out, std::size_t M, class Op>
PELOR_ALWAYS_INLINE void scalar_dispatch(const Run<In, N, Out, M>& r, Op& op, std::size_t which) {
    if constexpr (S < N) {
        if (which == S) return unit_stride_loop<S>(r, op, std::make_index_sequence<N>{});
        return scalar_dispatch<S + 1>(r, op, which);
    }
}

}  // namespace detail

template <class In, std::size_t N, class Out, std::size_t M, class Op>
PELOR_ALWAYS_INLINE void map_run(const Run<In, N, Out, M>& r, Op&& op) {
    std::size_t unit = 0, zero = 0, zero_at = N;
    for (std::size_t k = 0; k < N; ++k) {
        if (r.stride[k] == 1) ++unit;
        else if (r.stride[k] == 0) ++zero, zero_at = k;
    }
    if (unit == N) return detail::unit_stride_loop<N>(r, op, std::make_index_sequence<N>{});
    if (zero == 1 && unit == N - 1) return detail::scalar_dispatch<0>(r, op, zero_at);
    detail::strided_loop(r, op, std::make_index_sequence<N>{});
}

}  // namespace pelor::engine::cpu::elementwise

#undef PELOR_ALWAYS_INLINE
