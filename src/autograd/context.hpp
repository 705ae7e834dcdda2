#pragma once
// The gradient table of one backward pass, indexed by node id.
#include <optional>
#include <vector>

#include "autograd/graph.hpp"
#include "autograd/node_id.hpp"
#include "base/error.hpp"
#include "tensor/storage.hpp"

namespace pelor::autograd::context {

using tensor::storage::Storage;

class AutogradContext {
public:
    // `tape` supplies each node's own shape; it outlives the pass.
    AutogradContext(const graph::Tape& tape, std::size_t slots) : grads(slots), tape_(&tape) {}

    // Adds a contribution into the slot of node id. Contributions of one
    // shape are added as they are; when the shapes differ, each is first
    // summed down to the node's own shape, so that broadcasting the sum never
    // repeats a contribution. On error the slot keeps its old gradient.
    Result<void> accumulate(NodeId id, Storage grad);
    void set_grad(NodeId id, Storage grad);
    // Whether a rule should compute the contribution to input id: not when
    // no tensor can ever read that input's gradient. Every rule asks this for
    // each input of its node, so the question also notes which kinds of
    // constant leaf the pass reached (see met()).
    bool wants(NodeId id);
    // Whether a rule has asked about a constant leaf of kind `why`.
    bool met(graph::ConstantLeaf why) const { return met_[static_cast<std::size_t>(why)]; }

    std::vector<std::optional<Storage>> grads;

private:
    void pad(NodeId id) {
        if (id >= grads.size()) grads.resize(id + 1);
    }

    const graph::Tape* tape_;
    bool met_[std::size_t(graph::ConstantLeaf::foreign) + 1] = {};  // by kind
};

}  // namespace pelor::autograd::context
