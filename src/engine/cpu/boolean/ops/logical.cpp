#include "engine/cpu/boolean/ops/logical.hpp"

#include "engine/cpu/boolean/ops/broadcast.hpp"
#include "engine/cpu/boolean/ops/logical_loops.hpp"
#include "engine/cpu/elementwise/iterator.hpp"

namespace pelor::engine::cpu::boolean::ops {

KernelResult<NdArray<bool>> logical(Logical op, const NdArray<bool>& a, const NdArray<bool>& b) {
    const auto loop = logical_loops().binary[int(op)];
    if (a.shape() == b.shape()) {
        auto out = elementwise::combine<bool, 1>(ShapeSpan(a.shape()), std::array{a.data(), b.data()},
                                                 std::array{StridesSpan(a.strides()), StridesSpan(b.strides())}, loop);
        if (!out) return std::unexpected(out.error());
        return std::move((*out)[0]);
    }
    auto views = broadcast_tensors(a, b);
    if (!views) return std::unexpected(std::move(views.error()));
    auto out = elementwise::combine<bool, 1>(std::array{std::move(views->first), std::move(views->second)}, loop);
    if (!out) return std::unexpected(out.error());
    return std::move((*out)[0]);
}

Allocated<NdArray<bool>> logical_not(const NdArray<bool>& a) {
    // Same shape and strides: each result byte sits where its source byte does.
    auto out = NdArray<bool>::allocate(a.shape(), a.strides());
    if (out && a.size() > 0) logical_loops().negate({{a.data()}, {1}, {out->data()}, a.size()});
    return out;
}

}  // namespace pelor::engine::cpu::boolean::ops
