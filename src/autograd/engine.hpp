#pragma once
// The backward pass over the calling thread's tape.
#include "autograd/node_id.hpp"
#include "base/error.hpp"
#include "tensor/storage.hpp"

namespace pelor::autograd::engine {

// Operands a pass reached that asked for gradients but stood as constants,
// having been recorded before clear_graph() or on another thread: they got
// no gradient, which their owner may not expect.
struct PassReport {
    bool reached_cleared = false;
    bool reached_foreign = false;
};

// Walks the tape from `root` down to node 0, running each reached node's rule
// once with its complete gradient, then publishes every computed gradient into
// the tape. On failure nothing is published. `root` must be a live node id of
// this thread's tape (the core checks it before the pass).
Result<PassReport> run_backward(NodeId root, tensor::storage::Storage seed);

}  // namespace pelor::autograd::engine
