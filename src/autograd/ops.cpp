// Backward rules of the node kinds (not built yet).
#include "autograd/ops.hpp"

#include "autograd/context.hpp"

namespace pelor::autograd::ops {

namespace {
Result<void> pending() { return runtime_error("backward rule not implemented yet"); }
}  // namespace

Result<void> LeafNode::backward(AutogradContext&, const Storage&) const { return {}; }
Result<void> AddNode::backward(AutogradContext&, const Storage&) const { return pending(); }
Result<void> SubNode::backward(AutogradContext&, const Storage&) const { return pending(); }
Result<void> MulNode::backward(AutogradContext&, const Storage&) const { return pending(); }
Result<void> DivNode::backward(AutogradContext&, const Storage&) const { return pending(); }
Result<void> MatmulNode::backward(AutogradContext&, const Storage&) const { return pending(); }
Result<void> ReluNode::backward(AutogradContext&, const Storage&) const { return pending(); }
Result<void> ReshapeNode::backward(AutogradContext&, const Storage&) const { return pending(); }
Result<void> TransposeNode::backward(AutogradContext&, const Storage&) const { return pending(); }
Result<void> ScalarAddNode::backward(AutogradContext&, const Storage&) const { return pending(); }
Result<void> ScalarSubNode::backward(AutogradContext&, const Storage&) const { return pending(); }
Result<void> ScalarMulNode::backward(AutogradContext&, const Storage&) const { return pending(); }
Result<void> ScalarDivNode::backward(AutogradContext&, const Storage&) const { return pending(); }

}  // namespace pelor::autograd::ops
