#include "tensor/core_graph.hpp"

#include "autograd/engine.hpp"
#include "autograd/graph.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace pelor::tensor::core {

using autograd::graph::TAPE;
using engine::cpu::storage::CpuStorage;

Tensor from_storage(Storage s, bool requires_grad) {
    // The leaf is recorded only once the storage exists.
    std::optional<NodeId> id;
    if (requires_grad) id = TAPE().add_leaf();  // make_tensor records its shape
    return make_tensor(std::move(s), id);
}

namespace {

// Elements of every node a pass from `root` may reach: each is read or
// written at least once.
std::size_t backward_work(const autograd::graph::Tape& tape, NodeId root) {
    std::size_t n = 0;
    for (NodeId i = 0; i <= root; ++i) n += element_count(tape.shape(i));
    return n;
}

}  // namespace

Result<BackwardPass> prepare_backward(const Tensor& t) {
    if (!t.requires_grad) return value_error("backward() called on tensor that does not require grad");
    if (!t.node_id) return value_error("backward() called on a constant tensor with no node_id");
    auto root = t.live_node_id();
    if (!root)
        return runtime_error(
            "backward() called on a tensor whose graph was cleared by clear_graph() or was recorded on another "
            "thread");
    return BackwardPass{*root, backward_work(TAPE(), *root)};
}

Result<autograd::engine::PassReport> backward(const Tensor& t, const BackwardPass& pass) {
    auto seed = CpuStorage::ones_like(*t.storage);
    if (!seed) return std::unexpected(std::move(seed.error()));
    return autograd::engine::run_backward(pass.root, std::move(*seed));
}

const Storage* grad(const Tensor& t) {
    auto id = t.live_node_id();
    return id ? TAPE().grad(*id) : nullptr;
}

void clear_graph() { TAPE().clear(); }

}  // namespace pelor::tensor::core
