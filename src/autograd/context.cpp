#include "autograd/context.hpp"

#include "engine/cpu/storage/cpu_storage.hpp"

namespace pelor::autograd::context {

using engine::cpu::storage::CpuStorage;

Result<void> AutogradContext::accumulate(NodeId id, Storage grad) {
    pad(id);
    auto& slot = grads[id];
    if (!slot) {
        slot = std::move(grad);
        return {};
    }
    auto sum = CpuStorage::add(*slot, grad);
    if (!sum) return std::unexpected(std::move(sum.error()));
    slot = std::move(*sum);
    return {};
}

void AutogradContext::set_grad(NodeId id, Storage grad) {
    pad(id);
    grads[id] = std::move(grad);
}

}  // namespace pelor::autograd::context
