#pragma once
// BackwardOp and the node kinds. A node holds the ids of its inputs and, where
// its rule needs operand data, shared handles to the operand storages (never
// copies). Each rule adds its inputs' gradient contributions to the context.
#include <cstddef>

#include "autograd/node_id.hpp"
#include "base/error.hpp"
#include "tensor/storage.hpp"

namespace pelor::autograd::context {
class AutogradContext;
}

namespace pelor::autograd::ops {

using context::AutogradContext;
using tensor::storage::Storage;
using tensor::storage::StorageHandle;

class BackwardOp {
public:
    virtual ~BackwardOp() = default;
    // `grad` is the complete gradient of this node's output: the output's
    // shape, or a shape that it broadcasts to (extra leading axes, longer
    // axes where the output has length 1), whose sum over those axes is the
    // true gradient. Each rule hands on contributions of the same kind.
    virtual Result<void> backward(AutogradContext& context, const Storage& grad) const = 0;
};

struct LeafNode final : BackwardOp {
    Result<void> backward(AutogradContext& context, const Storage& grad) const override;
};

// Binary nodes whose rules do not read the operands.
struct AddNode final : BackwardOp {
    NodeId lhs_id, rhs_id;
    AddNode(NodeId l, NodeId r) : lhs_id(l), rhs_id(r) {}
    Result<void> backward(AutogradContext& context, const Storage& grad) const override;
};
struct SubNode final : BackwardOp {
    NodeId lhs_id, rhs_id;
    SubNode(NodeId l, NodeId r) : lhs_id(l), rhs_id(r) {}
    Result<void> backward(AutogradContext& context, const Storage& grad) const override;
};

// Binary nodes that keep both operand storages for their rules.
struct SavedOperands {
    StorageHandle lhs, rhs;
    NodeId lhs_id, rhs_id;
};
struct MulNode final : BackwardOp, SavedOperands {
    explicit MulNode(SavedOperands s) : SavedOperands(std::move(s)) {}
    Result<void> backward(AutogradContext& context, const Storage& grad) const override;
};
struct DivNode final : BackwardOp, SavedOperands {
    explicit DivNode(SavedOperands s) : SavedOperands(std::move(s)) {}
    Result<void> backward(AutogradContext& context, const Storage& grad) const override;
};
struct MatmulNode final : BackwardOp, SavedOperands {
    explicit MatmulNode(SavedOperands s) : SavedOperands(std::move(s)) {}
    Result<void> backward(AutogradContext& context, const Storage& grad) const override;
};

struct ReluNode final : BackwardOp {
    StorageHandle input;
    NodeId input_id;
    ReluNode(NodeId id, StorageHandle in) : input(std::move(in)), input_id(id) {}
    Result<void> backward(AutogradContext& context, const Storage& grad) const override;
};
struct ReshapeNode final : BackwardOp {
    Shape input_shape, output_shape;
    NodeId input_id;
    ReshapeNode(NodeId id, Shape in, Shape out) : input_shape(std::move(in)), output_shape(std::move(out)), input_id(id) {}
    Result<void> backward(AutogradContext& context, const Storage& grad) const override;
};
struct TransposeNode final : BackwardOp {
    NodeId input_id;
    std::size_t dim0, dim1;
    std::size_t ndim;  // of the input and the output
    TransposeNode(NodeId id, std::size_t d0, std::size_t d1, std::size_t n) : input_id(id), dim0(d0), dim1(d1), ndim(n) {}
    Result<void> backward(AutogradContext& context, const Storage& grad) const override;
};

// Scalar nodes: `scalar` is the float32 operand (the divisor for ScalarDivNode).
struct ScalarNode {
    NodeId input_id;
    float scalar;
};
struct ScalarAddNode final : BackwardOp, ScalarNode {
    ScalarAddNode(NodeId id, float x) : ScalarNode{id, x} {}
    Result<void> backward(AutogradContext& context, const Storage& grad) const override;
};
struct ScalarSubNode final : BackwardOp, ScalarNode {
    ScalarSubNode(NodeId id, float x) : ScalarNode{id, x} {}
    Result<void> backward(AutogradContext& context, const Storage& grad) const override;
};
struct ScalarMulNode final : BackwardOp, ScalarNode {
    ScalarMulNode(NodeId id, float x) : ScalarNode{id, x} {}
    Result<void> backward(AutogradContext& context, const Storage& grad) const override;
};
struct ScalarDivNode final : BackwardOp, ScalarNode {
    ScalarDivNode(NodeId id, float x) : ScalarNode{id, x} {}
    Result<void> backward(AutogradContext& context, const Storage& grad) const override;
};

}  // namespace pelor::autograd::ops
