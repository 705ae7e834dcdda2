#pragma once
// The backward pass over the calling thread's tape.
#include "autograd/node_id.hpp"
#include "base/error.hpp"
#include "tensor/storage.hpp"

namespace pelor::autograd::engine {

// Walks the tape from `root` down to node 0, running each reached node's rule
// once with its complete gradient, then publishes every computed gradient into
// the tape. On failure nothing is published. `root` must be a live node id of
// this thread's tape (the core checks it before the pass).
Result<void> run_backward(NodeId root, tensor::storage::Storage seed);

}  // namespace pelor::autograd::engine
