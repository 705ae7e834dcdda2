#pragma once
// The three paths of the element-wise engine for one run (run.hpp): all inputs
// contiguous; one input a broadcast scalar (stride 0) and the rest contiguous;
// generic strides. `op` takes N input values and returns one Out (M == 1) or
// std::array<Out, M>. The contiguous paths are plain loops that the compiler
// vectorises when `op` allows it.
//
// This is the core of the one inner-loop layer: kernels of *.isa.cpp files
// reach it through elementwise/loops.hpp (which adds the 16-bit and comparison
// routes); plain sources use it for copies. Everything here is always inlined
// into its caller, so no out-of-line copy compiled for a wide instruction set
// can be shared with baseline code by the linker.
#include <array>
#include <cstddef>
#include <utility>

#include "engine/cpu/elementwise/run.hpp"

#define PELOR_ALWAYS_INLINE [[gnu::always_inline]] inline
// Outputs are fresh buffers that never overlap an input, so the loops need no
// run-time overlap checks before they vectorise.
#if defined(__clang__)
#define PELOR_NO_OVERLAP _Pragma("clang loop vectorize(assume_safety)")
#else
#define PELOR_NO_OVERLAP _Pragma("GCC ivdep")
#endif

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

// The pointers are copied out of the run first: a byte output could otherwise
// alias them, and they would be read again after every store.
// Scalar == N: no broadcast input. Otherwise input `Scalar` is read once.
template <std::size_t Scalar, class In, std::size_t N, class Out, std::size_t M, class Op, std::size_t... I>
PELOR_ALWAYS_INLINE void unit_stride_loop(const Run<In, N, Out, M>& r, Op& op, std::index_sequence<I...>) {
    const std::array<const In*, N> in = r.in;
    const std::array<Out*, M> out = r.out;
    const std::size_t n = r.count;
    if constexpr (Scalar == N) {
        PELOR_NO_OVERLAP
        for (std::size_t i = 0; i < n; ++i) store(out, i, op(in[I][i]...));
    } else {
        const In s = in[Scalar][0];
        PELOR_NO_OVERLAP
        for (std::size_t i = 0; i < n; ++i) store(out, i, op((I == Scalar ? s : in[I][i])...));
    }
}

template <class In, std::size_t N, class Out, std::size_t M, class Op, std::size_t... I>
PELOR_ALWAYS_INLINE void strided_loop(const Run<In, N, Out, M>& r, Op& op, std::index_sequence<I...>) {
    const std::array<const In*, N> in = r.in;
    const std::array<Out*, M> out = r.out;
    const std::array<std::ptrdiff_t, N> step = r.stride;
    const std::size_t n = r.count;
    PELOR_NO_OVERLAP
    for (std::size_t i = 0; i < n; ++i) store(out, i, op(in[I][std::ptrdiff_t(i) * step[I]]...));
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
#undef PELOR_NO_OVERLAP
