#pragma once
// The core's entry points to the calling thread's graph: tensors made from a
// storage (recorded as a leaf when they require gradients), the backward
// pass, reading a gradient and clearing the graph.
#include <cstddef>

#include "autograd/engine.hpp"
#include "autograd/node_id.hpp"
#include "base/error.hpp"
#include "tensor/core.hpp"

namespace pelor::tensor::core {

// A tensor holding `s`: a leaf of this thread's graph when requires_grad, a
// constant otherwise.
Tensor from_storage(Storage s, bool requires_grad);

// A backward pass from `t` that has passed its checks: its root, and how many
// elements it may read or write (to decide whether it runs detached).
struct BackwardPass {
    NodeId root;
    std::size_t work;
};

// The checks of backward() on `t`, in order: it requires gradients, it has a
// node, and that node is on this thread's current graph.
Result<BackwardPass> prepare_backward(const Tensor& t);
// Runs the pass with a seed of ones and publishes its gradients; reports the
// stale operands it reached. Touches no Python object.
Result<autograd::engine::PassReport> backward(const Tensor& t, const BackwardPass& pass);

// The gradient the last pass published for `t`, or null; valid until this
// thread's graph changes.
const Storage* grad(const Tensor& t);

// Drops this thread's graph and gradients; tensors recorded before become
// constants for later operations.
void clear_graph();

}  // namespace pelor::tensor::core
