#include "autograd/context.hpp"

#include "autograd/graph.hpp"
#include "autograd/ops.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace pelor::autograd::context {

using engine::cpu::storage::CpuStorage;

namespace {

// `g` summed down to `shape` into `reduced`, or `g` itself when it already
// has that shape.
Result<const Storage*> to_shape(const Storage& g, const Shape& shape, std::optional<Storage>& reduced) {
    if (g.shape() == shape) return &g;
    auto r = CpuStorage::sum_to(g, shape);
    if (!r) return std::unexpected(std::move(r.error()));
    return &reduced.emplace(std::move(*r));
}

}  // namespace

Result<void> AutogradContext::accumulate(NodeId id, Storage grad) {
    pad(id);
    auto& slot = grads[id];
    if (!slot) {
        slot = std::move(grad);
        return {};
    }
    if (slot->shape() == grad.shape()) {
        auto sum = CpuStorage::add(*slot, grad);
        if (!sum) return std::unexpected(std::move(sum.error()));
        slot = std::move(*sum);
        return {};
    }
    const ShapeSpan own_axes = tape_->shape(id);
    const Shape own(own_axes.begin(), own_axes.end());
    std::optional<Storage> held_reduced, added_reduced;
    auto held = to_shape(*slot, own, held_reduced);
    if (!held) return std::unexpected(std::move(held.error()));
    auto added = to_shape(grad, own, added_reduced);
    if (!added) return std::unexpected(std::move(added.error()));
    auto sum = CpuStorage::add(**held, **added);
    if (!sum) return std::unexpected(std::move(sum.error()));
    slot = std::move(*sum);
    return {};
}

bool AutogradContext::wants(NodeId id) {
    const graph::ConstantLeaf why = tape_->constant_leaf(id);
    met_[static_cast<std::size_t>(why)] = true;
    return why == graph::ConstantLeaf::none;
}

void AutogradContext::set_grad(NodeId id, Storage grad) {
    pad(id);
    grads[id] = std::move(grad);
}

}  // namespace pelor::autograd::context
