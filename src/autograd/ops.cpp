// Backward rules of the node kinds. Each rule turns the node's output gradient
// into one contribution per input and accumulates it into the pass's context.
// An input whose gradient no tensor can read (a constant operand's leaf) gets
// no contribution: it is not even computed.
// A gradient may carry broadcast axes (see BackwardOp::backward); element-wise
// rules hand them on as they are, and only the rules that cannot work with
// them (reshape, the matrix axes of a product) sum them away first, and only
// when they are there.
#include "autograd/ops.hpp"

#include <algorithm>
#include <optional>

#include "autograd/context.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"
#include "engine/cpu/storage/refusals.hpp"

namespace pelor::autograd::ops {

using engine::cpu::storage::CpuStorage;
using engine::cpu::storage::StoragePair;
using engine::cpu::storage::Wanted;

namespace {

// Accumulates one contribution, or hands on the error that computing it met.
Result<void> accumulate(AutogradContext& context, NodeId id, Result<Storage> contribution) {
    if (!contribution) return std::unexpected(std::move(contribution.error()));
    return context.accumulate(id, std::move(*contribution));
}

// A one-input rule: the contribution is computed only when the input's
// gradient can be read.
template <class Compute>
Result<void> contribute(AutogradContext& context, NodeId id, Compute&& compute) {
    if (!context.wants(id)) return {};
    return accumulate(context, id, compute());
}

// `grad` handed on unchanged: the contribution shares its buffer. A Bool
// gradient is refused with the error that scaling it by 1 gives.
Result<Storage> pass_on(const Storage& grad) {
    if (grad.dtype() == tensor::storage::DType::Bool) return CpuStorage::scalar_mul(grad, 1.0f);
    return grad.alias();
}

// Add and Sub: the first input receives `grad` as it is, the second `grad`
// too (Add) or scaled by -1 (Sub). The second contribution is computed only
// once the first is accumulated.
Result<void> linear_pair(AutogradContext& context, const Storage& grad, NodeId lhs_id, NodeId rhs_id,
                         bool negate_rhs) {
    if (auto r = contribute(context, lhs_id, [&] { return pass_on(grad); }); !r) return r;
    return contribute(context, rhs_id,
                      [&] { return negate_rhs ? CpuStorage::scalar_mul(grad, -1.0f) : pass_on(grad); });
}

Wanted wanted(AutogradContext& context, const SavedOperands& node) {
    return {context.wants(node.lhs_id), context.wants(node.rhs_id)};
}

// Mul, Div and Matmul: the kernel yields the wanted contributions or nothing.
Result<void> saved_pair(AutogradContext& context, const SavedOperands& node, Result<StoragePair> pair) {
    if (!pair) return std::unexpected(std::move(pair.error()));
    if (pair->first)
        if (auto r = context.accumulate(node.lhs_id, std::move(*pair->first)); !r) return r;
    if (!pair->second) return {};
    return context.accumulate(node.rhs_id, std::move(*pair->second));
}

}  // namespace

Result<void> LeafNode::backward(AutogradContext&, const Storage&) const { return {}; }

Result<void> AddNode::backward(AutogradContext& context, const Storage& grad) const {
    return linear_pair(context, grad, lhs_id, rhs_id, false);
}

Result<void> SubNode::backward(AutogradContext& context, const Storage& grad) const {
    return linear_pair(context, grad, lhs_id, rhs_id, true);
}

Result<void> MulNode::backward(AutogradContext& context, const Storage& grad) const {
    return saved_pair(context, *this, CpuStorage::backward_mul(*lhs, grad, *rhs, wanted(context, *this)));
}

Result<void> DivNode::backward(AutogradContext& context, const Storage& grad) const {
    return saved_pair(context, *this, CpuStorage::backward_div(*lhs, grad, *rhs, wanted(context, *this)));
}

// Leading axes of the gradient are batch axes, broadcast against the
// operands' own; its two matrix axes must be the output's, so any that
// broadcasting lengthened are summed back to length 1 first.
Result<void> MatmulNode::backward(AutogradContext& context, const Storage& grad) const {
    const Wanted want = wanted(context, *this);
    if (!want.lhs && !want.rhs) return {};
    const Shape& g = grad.shape();
    const std::size_t n = g.size();
    const std::size_t rows = lhs->shape()[lhs->ndim() - 2], cols = rhs->shape()[rhs->ndim() - 1];
    if (g[n - 2] == rows && g[n - 1] == cols)
        return saved_pair(context, *this, CpuStorage::backward_matmul(*lhs, grad, *rhs, want));
    // An empty gradient sums to zeros; its batch axes are dropped then, as
    // they may be arbitrarily long next to a zero-length matrix axis.
    Shape matrix_axes_summed = grad.size() == 0 ? Shape{rows, cols} : g;
    matrix_axes_summed[matrix_axes_summed.size() - 2] = rows;
    matrix_axes_summed[matrix_axes_summed.size() - 1] = cols;
    auto summed = CpuStorage::sum_to(grad, matrix_axes_summed);
    if (!summed) return std::unexpected(std::move(summed.error()));
    return saved_pair(context, *this, CpuStorage::backward_matmul(*lhs, *summed, *rhs, want));
}

Result<void> ReluNode::backward(AutogradContext& context, const Storage& grad) const {
    return contribute(context, input_id, [&] { return CpuStorage::backward_relu(*input, grad); });
}

// Leading broadcast axes stay in front; the trailing axes, the output's, go
// back to the input's shape. Those must hold the output's own lengths in
// row-major order first: lengthened axes are summed back to length 1 (which
// yields a row-major result), and a gradient in another layout is copied.
Result<void> ReshapeNode::backward(AutogradContext& context, const Storage& grad) const {
    if (!context.wants(input_id)) return {};
    const Shape& g = grad.shape();
    const std::size_t lead = g.size() - output_shape.size();
    const bool lengthened = !std::equal(output_shape.begin(), output_shape.end(), g.begin() + std::ptrdiff_t(lead));
    if (lead == 0 && !lengthened && is_standard_layout(g, grad.strides()))
        return accumulate(context, input_id, CpuStorage::reshape(grad, input_shape));

    // An empty gradient sums to zeros: its leading axes are dropped then, as
    // they may be arbitrarily long next to a zero-length axis.
    Shape target(g.begin(), g.begin() + std::ptrdiff_t(lengthened && grad.size() == 0 ? 0 : lead));
    std::optional<Storage> own;
    if (lengthened) {
        Shape own_shape = target;
        own_shape.insert(own_shape.end(), output_shape.begin(), output_shape.end());
        auto summed = CpuStorage::sum_to(grad, own_shape);
        if (!summed) return std::unexpected(std::move(summed.error()));
        own.emplace(std::move(*summed));
    } else {
        auto copied = CpuStorage::to_row_major(grad);
        if (!copied) return std::unexpected(std::move(copied.error()));
        own.emplace(std::move(*copied));
    }
    // `own` is a private row-major array with the same element count as the
    // target, so it is reshaped in place.
    target.insert(target.end(), input_shape.begin(), input_shape.end());
    auto reshaped = own->visit([&](auto& a) { return a.reshape(std::move(target)); });
    if (!reshaped) return engine::cpu::storage::reshape_refused(reshaped.error());
    return context.accumulate(input_id, std::move(*own));
}

// Swapping the same two axes again undoes the forward transpose. They are
// counted from the last axis, so leading broadcast axes stay in front.
Result<void> TransposeNode::backward(AutogradContext& context, const Storage& grad) const {
    const std::size_t lead = grad.ndim() - ndim;
    return contribute(context, input_id, [&] { return CpuStorage::transpose(grad, lead + dim0, lead + dim1); });
}

// An added or subtracted constant does not change the gradient.
Result<void> ScalarAddNode::backward(AutogradContext& context, const Storage& grad) const {
    return contribute(context, input_id, [&] { return pass_on(grad); });
}

Result<void> ScalarSubNode::backward(AutogradContext& context, const Storage& grad) const {
    return contribute(context, input_id, [&] { return pass_on(grad); });
}

Result<void> ScalarMulNode::backward(AutogradContext& context, const Storage& grad) const {
    return contribute(context, input_id, [&] { return CpuStorage::scalar_mul(grad, scalar); });
}

// x / s contributes grad * (1/s); the reciprocal is a binary32 value, so a zero
// divisor gives an infinite factor and the IEEE results that follow.
Result<void> ScalarDivNode::backward(AutogradContext& context, const Storage& grad) const {
    const float reciprocal = 1.0f / scalar;
    return contribute(context, input_id, [&] { return CpuStorage::scalar_mul(grad, reciprocal); });
}

}  // namespace pelor::autograd::ops
