#pragma once
// The core tensor value and its operations: the single place where a
// computation meets the graph. A differentiable operation records its node
// (with implicit leaves for operands that have no node) before it computes.
#include <optional>

#include "autograd/node_id.hpp"
#include "base/error.hpp"
#include "tensor/storage.hpp"

namespace pelor::tensor::core {

using autograd::NodeId;
using storage::Storage;
using storage::StorageHandle;

struct Tensor {
    std::optional<NodeId> node_id;
    StorageHandle storage;
    bool requires_grad = false;
    // Epoch of the tape that handed out node_id (see Tape::epoch).
    std::uint64_t tape_epoch = 0;

    // This thread's live node behind node_id, if any.
    std::optional<NodeId> live_node_id() const;

    static Result<Tensor> add(const Tensor& a, const Tensor& b);
    static Result<Tensor> sub(const Tensor& a, const Tensor& b);
    static Result<Tensor> mul(const Tensor& a, const Tensor& b);
    static Result<Tensor> div(const Tensor& a, const Tensor& b);
    static Result<Tensor> matmul(const Tensor& a, const Tensor& b);

    static Result<Tensor> scalar_add(const Tensor& t, float x);
    static Result<Tensor> scalar_sub(const Tensor& t, float x);
    static Result<Tensor> scalar_mul(const Tensor& t, float x);
    static Result<Tensor> scalar_div(const Tensor& t, float x);

    static Result<Tensor> reshape(const Tensor& t, const Shape& shape);
    static Result<Tensor> transpose(const Tensor& t, std::size_t dim0, std::size_t dim1);

    static Result<Tensor> eq(const Tensor& a, const Tensor& b);
    static Result<Tensor> ge(const Tensor& a, const Tensor& b);
    static Result<Tensor> gt(const Tensor& a, const Tensor& b);
    static Result<Tensor> le(const Tensor& a, const Tensor& b);
    static Result<Tensor> lt(const Tensor& a, const Tensor& b);
    static Result<Tensor> scalar_eq(const Tensor& t, float x);
    static Result<Tensor> scalar_ge(const Tensor& t, float x);
    static Result<Tensor> scalar_gt(const Tensor& t, float x);
    static Result<Tensor> scalar_le(const Tensor& t, float x);
    static Result<Tensor> scalar_lt(const Tensor& t, float x);

    static Result<Tensor> logical_and(const Tensor& a, const Tensor& b);
    static Result<Tensor> logical_or(const Tensor& a, const Tensor& b);
    static Result<Tensor> logical_xor(const Tensor& a, const Tensor& b);
    static Result<Tensor> logical_not(const Tensor& t);

    static Result<Tensor> zeros_like(const Tensor& t);
    static Result<Tensor> ones_like(const Tensor& t);
};

// A constant (no node) or, when requires_grad, a tensor carrying `id` of the
// calling thread's tape.
Tensor make_tensor(Storage s, std::optional<NodeId> id);

// The calling thread's id for an operand: its live node id, or a fresh
// implicit leaf (the tensor itself is not changed).
NodeId operand_id(const Tensor& t);

// The rectifier max(x, 0), recorded like the operations above.
Result<Tensor> relu(const Tensor& t);

}  // namespace pelor::tensor::core
