#pragma once
// One innermost run of an element-wise operation, as the iterator hands it to
// a loop: `count` elements; input k starts at in[k] and steps by stride[k]
// elements (0 when that operand is broadcast along the run, 1 when it is
// contiguous); every output is contiguous, out[j][0] .. out[j][count - 1].
//
// A run of a reduction (SumRun) adds `count` elements of one input, in_stride
// apart, into binary64 sums acc_stride apart: 0 when the run is summed over,
// so that every element lands on acc[0].
#include <array>
#include <cstddef>

namespace pelor::engine::cpu::elementwise {

template <class In, std::size_t N, class Out, std::size_t M>
struct Run {
    std::array<const In*, N> in;
    std::array<std::ptrdiff_t, N> stride;
    std::array<Out*, M> out;
    std::size_t count;
};

template <class In>
struct SumRun {
    const In* in;
    std::ptrdiff_t in_stride;
    double* acc;
    std::ptrdiff_t acc_stride;
    std::size_t count;
};

}  // namespace pelor::engine::cpu::elementwise
