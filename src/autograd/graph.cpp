#include "autograd/graph.hpp"

#include <atomic>

#include "autograd/ops.hpp"

namespace pelor::autograd::graph {

namespace {
// Epoch 0 is never handed out, so a default tensor is never live.
std::atomic<std::uint64_t> next_epoch{1};
std::uint64_t new_epoch() { return next_epoch.fetch_add(1, std::memory_order_relaxed); }
}  // namespace

Tape::Tape() : epoch_(new_epoch()), id_(epoch_) {}
Tape::~Tape() = default;

NodeId Tape::add_leaf() { return push_node(std::make_unique<ops::LeafNode>()); }

NodeId Tape::add_constant_leaf(ConstantLeaf why) {
    const NodeId id = add_leaf();
    constant_leaves_[id] = why;
    return id;
}

NodeId Tape::push_node(std::unique_ptr<ops::BackwardOp> node) {
    NodeId id = nodes_.size();
    nodes_.push_back(std::move(node));
    grads_.emplace_back();
    shapes_.emplace_back(0, 0);
    constant_leaves_.push_back(ConstantLeaf::none);
    return id;
}

void Tape::set_shape(NodeId id, ShapeSpan shape) {
    shapes_[id] = {axes_.size(), shape.size()};
    axes_.insert(axes_.end(), shape.begin(), shape.end());
}

const Storage* Tape::grad(NodeId id) const {
    if (id >= grads_.size() || !grads_[id]) return nullptr;
    return &*grads_[id];
}

void Tape::set_grad(NodeId id, Storage grad) {
    if (id >= grads_.size()) grads_.resize(id + 1);
    grads_[id] = std::move(grad);
}

void Tape::clear() {
    nodes_.clear();
    grads_.clear();
    shapes_.clear();
    axes_.clear();
    constant_leaves_.clear();
    epoch_ = new_epoch();
}

Tape& TAPE() {
    thread_local Tape tape;
    return tape;
}

}  // namespace pelor::autograd::graph
