#include "tensor/core_isa.hpp"

#include "engine/cpu/isa_choice.hpp"

namespace pelor::tensor::core {

Result<void> check_isa_choice() {
    const Result<engine::cpu::IsaLevel>& limit = engine::cpu::isa_level_limit();
    if (!limit) return std::unexpected(limit.error());
    return {};
}

}  // namespace pelor::tensor::core
