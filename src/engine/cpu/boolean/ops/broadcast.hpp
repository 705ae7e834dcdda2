#pragma once
// Broadcasting for the logical operations: the numeric module's rule and
// messages, word for word, on bool arrays.
#include "engine/cpu/numeric/ops/broadcast.hpp"

namespace pelor::engine::cpu::boolean::ops {

using numeric::ops::broadcast_shapes;

inline KernelResult<std::pair<ArrayView<bool>, ArrayView<bool>>> broadcast_tensors(const NdArray<bool>& a,
                                                                                  const NdArray<bool>& b) {
    return numeric::ops::broadcast_tensors(a, b);
}

}  // namespace pelor::engine::cpu::boolean::ops
