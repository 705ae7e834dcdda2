#include "tensor/core.hpp"

#include "autograd/graph.hpp"
#include "autograd/ops.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace pelor::tensor::core {

using autograd::graph::Tape;
using autograd::graph::TAPE;
using engine::cpu::storage::CpuStorage;
namespace ops = autograd::ops;

std::optional<NodeId> Tensor::live_node_id() const { return live_node_id(TAPE()); }

std::optional<NodeId> Tensor::live_node_id(const Tape& tape) const {
    if (node_id && tape.is_live(*node_id, tape_epoch)) return node_id;
    return std::nullopt;
}

// TAPE() is a thread-local lookup through the C library (a call per use in a
// shared module): each function looks it up once and hands the tape on.
Tensor make_tensor(Storage s, std::optional<NodeId> id) {
    Tensor t;
    if (id) {
        Tape& tape = TAPE();
        tape.set_shape(*id, s.shape());  // the node's output exists now
        t.node_id = id;
        t.requires_grad = true;
        t.tape_epoch = tape.epoch();
        t.tape_id = tape.id();
    }
    t.storage = storage::share(std::move(s));
    return t;
}

// A stale id (from before clear_graph(), or another thread's) would name an
// unrelated node here, so such an operand is treated like a constant. Its leaf
// remembers why, so that a backward pass reaching it can say so.
NodeId operand_id(Tape& tape, const Tensor& t) {
    using autograd::graph::ConstantLeaf;
    if (auto id = t.live_node_id(tape)) return *id;
    const ConstantLeaf why = !t.requires_grad             ? ConstantLeaf::constant
                             : t.tape_id == tape.id() ? ConstantLeaf::cleared
                                                      : ConstantLeaf::foreign;
    NodeId id = tape.add_constant_leaf(why);
    tape.set_shape(id, t.storage->shape());
    return id;
}

namespace {

using EngineBinary = Result<Storage> (*)(const Storage&, const Storage&);
using EngineScalar = Result<Storage> (*)(const Storage&, float);

Result<Tensor> finish(Result<Storage> r, std::optional<NodeId> id) {
    if (!r) return std::unexpected(std::move(r.error()));
    return make_tensor(std::move(*r), id);
}

template <class Node>
std::optional<NodeId> record_two_operand(const Tensor& a, const Tensor& b) {
    if (!a.requires_grad && !b.requires_grad) return std::nullopt;
    Tape& tape = TAPE();
    NodeId lhs = operand_id(tape, a);
    NodeId rhs = operand_id(tape, b);
    if constexpr (std::is_constructible_v<Node, ops::SavedOperands>)
        return tape.push_node(std::make_unique<Node>(ops::SavedOperands{a.storage, b.storage, lhs, rhs}));
    else
        return tape.push_node(std::make_unique<Node>(lhs, rhs));
}

template <class Node, class... Extra>
std::optional<NodeId> record_unary(const Tensor& t, Extra&&... extra) {
    if (!t.requires_grad) return std::nullopt;
    Tape& tape = TAPE();
    NodeId in = operand_id(tape, t);
    return tape.push_node(std::make_unique<Node>(in, std::forward<Extra>(extra)...));
}

template <class Node>
Result<Tensor> differentiable(const Tensor& a, const Tensor& b, EngineBinary engine) {
    auto id = record_two_operand<Node>(a, b);
    return finish(engine(*a.storage, *b.storage), id);
}

template <class Node>
Result<Tensor> differentiable(const Tensor& t, float x, EngineScalar engine) {
    auto id = record_unary<Node>(t, x);
    return finish(engine(*t.storage, x), id);
}

Result<Tensor> constant(Result<Storage> r) { return finish(std::move(r), std::nullopt); }

}  // namespace

#define PELOR_DIFFERENTIABLE(name, Rule, Node)                      \
    Result<Tensor> Tensor::name(const Tensor& a, const Tensor& b) { \
        return differentiable<ops::Node>(a, b, CpuStorage::name);   \
    }
#define PELOR_DIFFERENTIABLE_SCALAR(name, Rule, Node, ...)    \
    Result<Tensor> Tensor::name(const Tensor& t, float x) {   \
        return differentiable<ops::Node>(t, x, CpuStorage::name); \
    }
#define PELOR_CONSTANT(name, ...)                                   \
    Result<Tensor> Tensor::name(const Tensor& a, const Tensor& b) { \
        return constant(CpuStorage::name(*a.storage, *b.storage));  \
    }
#define PELOR_CONSTANT_SCALAR(name, ...)                                 \
    Result<Tensor> Tensor::scalar_##name(const Tensor& t, float x) {     \
        return constant(CpuStorage::scalar_##name(*t.storage, x));       \
    }
PELOR_ARITHMETIC(PELOR_DIFFERENTIABLE)
PELOR_SCALAR_ARITHMETIC(PELOR_DIFFERENTIABLE_SCALAR)
PELOR_COMPARISONS(PELOR_CONSTANT)
PELOR_COMPARISONS(PELOR_CONSTANT_SCALAR)
PELOR_LOGICAL(PELOR_CONSTANT)
#undef PELOR_DIFFERENTIABLE
#undef PELOR_DIFFERENTIABLE_SCALAR
#undef PELOR_CONSTANT
#undef PELOR_CONSTANT_SCALAR

Result<Tensor> Tensor::matmul(const Tensor& a, const Tensor& b) {
    return differentiable<ops::MatmulNode>(a, b, CpuStorage::matmul);
}

// t / x is t * (1 / x): the reciprocal is rounded to binary32 first. The node
// keeps the divisor itself.
Result<Tensor> Tensor::scalar_div(const Tensor& t, float x) {
    const float r = 1.0f / x;
    auto id = record_unary<ops::ScalarDivNode>(t, x);
    return finish(CpuStorage::scalar_mul(*t.storage, r), id);
}

Result<Tensor> Tensor::reshape(const Tensor& t, const Shape& shape) {
    Shape before = CpuStorage::shape(*t.storage);
    auto id = record_unary<ops::ReshapeNode>(t, std::move(before), shape);
    return finish(CpuStorage::reshape(*t.storage, shape), id);
}
Result<Tensor> Tensor::transpose(const Tensor& t, std::size_t dim0, std::size_t dim1) {
    auto id = record_unary<ops::TransposeNode>(t, dim0, dim1, t.storage->ndim());
    return finish(CpuStorage::transpose(*t.storage, dim0, dim1), id);
}

// The engine refuses a non-Bool operand.
Result<Tensor> Tensor::logical_not(const Tensor& t) { return constant(CpuStorage::logical_not(*t.storage)); }

Result<Tensor> Tensor::zeros_like(const Tensor& t) { return constant(CpuStorage::zeros_like(*t.storage)); }
Result<Tensor> Tensor::ones_like(const Tensor& t) { return constant(CpuStorage::ones_like(*t.storage)); }

// The node keeps the input, whose signs route the gradient.
Result<Tensor> relu(const Tensor& t) {
    auto id = record_unary<ops::ReluNode>(t, t.storage);
    return finish(CpuStorage::relu(*t.storage), id);
}

}  // namespace pelor::tensor::core
