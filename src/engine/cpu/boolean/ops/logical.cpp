#include "engine/cpu/boolean/ops/logical.hpp"

#include "engine/cpu/boolean/ops/logical_loops.hpp"
#include "engine/cpu/numeric/ops/combine_pair.hpp"

namespace pelor::engine::cpu::boolean::ops {

KernelResult<NdArray<bool>> logical(Logical op, const NdArray<bool>& a, const NdArray<bool>& b) {
    return numeric::ops::combine_pair(a, b, logical_loops().binary[int(op)]);
}

Allocated<NdArray<bool>> logical_not(const NdArray<bool>& a) {
    // Same shape and strides: each result byte sits where its source byte does.
    auto out = NdArray<bool>::allocate(a.shape(), a.strides());
    if (out && a.size() > 0) logical_loops().negate({{a.data()}, {1}, {out->data()}, a.size()});
    return out;
}

}  // namespace pelor::engine::cpu::boolean::ops
