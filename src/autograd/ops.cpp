// Backward rules of the node kinds. Each rule turns the node's output gradient
// into one contribution per input and accumulates it into the pass's context.
// Gradients keep the shape their computation yields: nothing is reduced over
// broadcast axes.
#include "autograd/ops.hpp"

#include "autograd/context.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace pelor::autograd::ops {

using engine::cpu::storage::CpuStorage;
using engine::cpu::storage::StoragePair;

namespace {

// Accumulates one contribution, or hands on the error that computing it met.
Result<void> accumulate(AutogradContext& context, NodeId id, Result<Storage> contribution) {
    if (!contribution) return std::unexpected(std::move(contribution.error()));
    return context.accumulate(id, std::move(*contribution));
}

// Add and Sub: the first input receives `grad` scaled by 1.0 (a private copy),
// the second `grad` scaled by `rhs_scale`. The second scaling happens only once
// the first contribution is accumulated.
Result<void> linear_pair(AutogradContext& context, const Storage& grad, NodeId lhs_id, NodeId rhs_id,
                         float rhs_scale) {
    if (auto r = accumulate(context, lhs_id, CpuStorage::scalar_mul(grad, 1.0f)); !r) return r;
    return accumulate(context, rhs_id, CpuStorage::scalar_mul(grad, rhs_scale));
}

// Mul, Div and Matmul: the kernel yields both contributions or nothing.
Result<void> saved_pair(AutogradContext& context, const SavedOperands& node, Result<StoragePair> pair) {
    if (!pair) return std::unexpected(std::move(pair.error()));
    if (auto r = context.accumulate(node.lhs_id, std::move(pair->first)); !r) return r;
    return context.accumulate(node.rhs_id, std::move(pair->second));
}

}  // namespace

Result<void> LeafNode::backward(AutogradContext&, const Storage&) const { return {}; }

Result<void> AddNode::backward(AutogradContext& context, const Storage& grad) const {
    return linear_pair(context, grad, lhs_id, rhs_id, 1.0f);
}

Result<void> SubNode::backward(AutogradContext& context, const Storage& grad) const {
    return linear_pair(context, grad, lhs_id, rhs_id, -1.0f);
}

Result<void> MulNode::backward(AutogradContext& context, const Storage& grad) const {
    return saved_pair(context, *this, CpuStorage::backward_mul(*lhs, grad, *rhs));
}

Result<void> DivNode::backward(AutogradContext& context, const Storage& grad) const {
    return saved_pair(context, *this, CpuStorage::backward_div(*lhs, grad, *rhs));
}

Result<void> MatmulNode::backward(AutogradContext& context, const Storage& grad) const {
    return saved_pair(context, *this, CpuStorage::backward_matmul(*lhs, grad, *rhs));
}

Result<void> ReluNode::backward(AutogradContext& context, const Storage& grad) const {
    return accumulate(context, input_id, CpuStorage::backward_relu(*input, grad));
}

Result<void> ReshapeNode::backward(AutogradContext& context, const Storage& grad) const {
    return accumulate(context, input_id, CpuStorage::reshape(grad, input_shape));
}

// Swapping the same two axes again undoes the forward transpose.
Result<void> TransposeNode::backward(AutogradContext& context, const Storage& grad) const {
    return accumulate(context, input_id, CpuStorage::transpose(grad, dim0, dim1));
}

// An added or subtracted constant does not change the gradient.
Result<void> ScalarAddNode::backward(AutogradContext& context, const Storage& grad) const {
    return accumulate(context, input_id, CpuStorage::scalar_mul(grad, 1.0f));
}

Result<void> ScalarSubNode::backward(AutogradContext& context, const Storage& grad) const {
    return accumulate(context, input_id, CpuStorage::scalar_mul(grad, 1.0f));
}

Result<void> ScalarMulNode::backward(AutogradContext& context, const Storage& grad) const {
    return accumulate(context, input_id, CpuStorage::scalar_mul(grad, scalar));
}

// x / s contributes grad * (1/s); the reciprocal is a binary32 value, so a zero
// divisor gives an infinite factor and the IEEE results that follow.
Result<void> ScalarDivNode::backward(AutogradContext& context, const Storage& grad) const {
    const float reciprocal = 1.0f / scalar;
    return accumulate(context, input_id, CpuStorage::scalar_mul(grad, reciprocal));
}

}  // namespace pelor::autograd::ops
