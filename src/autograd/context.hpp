#pragma once
// The gradient table of one backward pass, indexed by node id.
#include <optional>
#include <vector>

#include "autograd/node_id.hpp"
#include "base/error.hpp"
#include "tensor/storage.hpp"

namespace pelor::autograd::context {

using tensor::storage::Storage;

class AutogradContext {
public:
    explicit AutogradContext(std::size_t slots) : grads(slots) {}

    // Sums into a filled slot with the broadcasting addition (stored gradient
    // on the left); on error the slot keeps its old gradient.
    Result<void> accumulate(NodeId id, Storage grad);
    void set_grad(NodeId id, Storage grad);

    std::vector<std::optional<Storage>> grads;

private:
    void pad(NodeId id) {
        if (id >= grads.size()) grads.resize(id + 1);
    }
};

}  // namespace pelor::autograd::context
