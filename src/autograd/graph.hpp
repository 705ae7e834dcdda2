#pragma once
// The per-thread record of differentiable operations. Node i sits at index i
// of `nodes`, and `grads[i]` holds the gradient that the last backward pass
// reaching node i published. Each thread has its own tape (TAPE), so nothing
// here is locked; no Python object is ever referenced from it.
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "autograd/node_id.hpp"
#include "tensor/storage.hpp"

namespace pelor::autograd::ops {
class BackwardOp;
}

namespace pelor::autograd::graph {

using tensor::storage::Storage;

// Why an operand of a recorded operation stands as a constant leaf. The last
// two name tensors that asked for gradients but whose node this tape cannot
// reach: no gradient is computed for them.
enum class ConstantLeaf : unsigned char {
    none,      // not a constant leaf
    constant,  // a tensor that does not require gradients
    cleared,   // recorded before this thread's last clear()
    foreign,   // recorded on another thread's tape
};

class Tape {
public:
    Tape();
    ~Tape();
    Tape(const Tape&) = delete;
    Tape& operator=(const Tape&) = delete;

    NodeId add_leaf();
    // A leaf standing for a constant operand of a recorded operation, and
    // why it is one. No tensor carries its id, so its gradient can never be
    // read: backward rules skip computing it.
    NodeId add_constant_leaf(ConstantLeaf why);
    // ConstantLeaf::none for every other node.
    ConstantLeaf constant_leaf(NodeId id) const { return constant_leaves_[id]; }
    NodeId push_node(std::unique_ptr<ops::BackwardOp> node);
    // Records the output shape of node id once its result exists (a node
    // whose computation failed has none, but no pass ever reaches it).
    void set_shape(NodeId id, ShapeSpan shape);
    // Gradients of different shapes meet in this shape.
    ShapeSpan shape(NodeId id) const { return ShapeSpan(axes_).subspan(shapes_[id].first, shapes_[id].second); }

    // The gradient in slot id (valid until the tape changes), or null when
    // the slot is empty or past the end.
    const Storage* grad(NodeId id) const;
    // Pads with empty slots when id is past the end, then replaces slot id.
    void set_grad(NodeId id, Storage grad);
    // Drops every node, then every gradient; capacity is kept. Ids handed out
    // before become stale: the epoch changes.
    void clear();

    std::size_t node_count() const { return nodes_.size(); }
    const ops::BackwardOp& node(NodeId id) const { return *nodes_[id]; }

    // Names this tape and its current contents; unique across threads and
    // clears. A tensor remembers the epoch it was recorded in, so an id that
    // outlived clear() or came from another thread is recognised as stale.
    std::uint64_t epoch() const { return epoch_; }
    bool is_live(NodeId id, std::uint64_t epoch) const { return epoch == epoch_ && id < nodes_.size(); }
    // Names this tape for the thread's lifetime (its first epoch), so a stale
    // tensor tells a cleared graph from another thread's.
    std::uint64_t id() const { return id_; }

private:
    std::vector<std::unique_ptr<ops::BackwardOp>> nodes_;
    std::vector<std::optional<Storage>> grads_;
    // Node i's shape is axes_[shapes_[i].first ..][: shapes_[i].second]: one
    // shared list, so recording a node allocates nothing for its shape.
    std::vector<std::pair<std::size_t, std::size_t>> shapes_;
    std::vector<std::size_t> axes_;
    std::vector<ConstantLeaf> constant_leaves_;
    std::uint64_t epoch_;
    std::uint64_t id_;
};

// The calling thread's tape, created on first use and destroyed with the thread.
Tape& TAPE();

}  // namespace pelor::autograd::graph
