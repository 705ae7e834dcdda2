#pragma once
// The core tensor value and its operations: the single place where a
// computation meets the graph. A differentiable operation records its node
// (with implicit leaves for operands that have no node) before it computes.
#include <optional>

#include "autograd/node_id.hpp"
#include "base/error.hpp"
#include "engine/cpu/elementwise/op_list.hpp"
#include "tensor/storage.hpp"

namespace pelor::autograd::graph {
class Tape;
}

namespace pelor::tensor::core {

using autograd::NodeId;
using storage::Storage;
using storage::StorageHandle;

struct Tensor {
    std::optional<NodeId> node_id;
    StorageHandle storage;
    bool requires_grad = false;
    // Epoch and id of the tape that handed out node_id (see Tape::epoch).
    std::uint64_t tape_epoch = 0;
    std::uint64_t tape_id = 0;

    // This thread's live node behind node_id, if any; `tape` is this thread's.
    std::optional<NodeId> live_node_id() const;
    std::optional<NodeId> live_node_id(const autograd::graph::Tape& tape) const;

    // The element-wise operations of engine/cpu/elementwise/op_list.hpp, one
    // function each (tensor op tensor, or tensor op number for the scalar_
    // forms), and t / x.
#define PELOR_TWO_TENSORS(name, ...) static Result<Tensor> name(const Tensor& a, const Tensor& b);
#define PELOR_WITH_SCALAR(name, ...) static Result<Tensor> name(const Tensor& t, float x);
#define PELOR_COMPARE_WITH_SCALAR(name, ...) static Result<Tensor> scalar_##name(const Tensor& t, float x);
    PELOR_ARITHMETIC(PELOR_TWO_TENSORS)
    PELOR_COMPARISONS(PELOR_TWO_TENSORS)
    PELOR_LOGICAL(PELOR_TWO_TENSORS)
    PELOR_SCALAR_ARITHMETIC(PELOR_WITH_SCALAR)
    PELOR_COMPARISONS(PELOR_COMPARE_WITH_SCALAR)
#undef PELOR_TWO_TENSORS
#undef PELOR_WITH_SCALAR
#undef PELOR_COMPARE_WITH_SCALAR
    static Result<Tensor> scalar_div(const Tensor& t, float x);
    static Result<Tensor> logical_not(const Tensor& t);

    static Result<Tensor> matmul(const Tensor& a, const Tensor& b);

    static Result<Tensor> reshape(const Tensor& t, const Shape& shape);
    static Result<Tensor> transpose(const Tensor& t, std::size_t dim0, std::size_t dim1);

    static Result<Tensor> zeros_like(const Tensor& t);
    static Result<Tensor> ones_like(const Tensor& t);
};

// A constant (no node) or, when requires_grad, a tensor carrying `id` of the
// calling thread's tape.
Tensor make_tensor(Storage s, std::optional<NodeId> id);

// The id for an operand on `tape`, the calling thread's: its live node id, or
// a fresh implicit leaf (the tensor itself is not changed).
NodeId operand_id(autograd::graph::Tape& tape, const Tensor& t);

// The rectifier max(x, 0), recorded like the operations above.
Result<Tensor> relu(const Tensor& t);

}  // namespace pelor::tensor::core
