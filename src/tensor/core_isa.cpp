#include "tensor/core_isa.hpp"

#include "engine/cpu/isa_choice.hpp"
#include "engine/cpu/numeric/ops/cast_kernels.hpp"
#include "engine/cpu/numeric/ops/relu_kernels.hpp"

namespace pelor::tensor::core {

namespace {

namespace ops = engine::cpu::numeric::ops;

// The level whose table a selector returned, found by comparing its address
// with each level's table (X-macro over the levels the table exists at).
#define PELOR_LEVEL_OF_TABLE_(level, selected, name) \
    if (&(selected) == &::pelor::isa::level::name) return engine::cpu::isa_level_name(engine::cpu::IsaLevel::level);

std::string_view relu_level() {
    const ops::ReluKernels& selected = ops::relu_kernels();
    PELOR_ISA_COMMON_LEVELS(PELOR_LEVEL_OF_TABLE_, selected, relu_kernels)
    return "unknown";
}

std::string_view casts_level() {
    const ops::CastKernels& selected = ops::cast_kernels();
    PELOR_ISA_LEVELS(PELOR_LEVEL_OF_TABLE_, selected, cast_kernels)
    return "unknown";
}

#undef PELOR_LEVEL_OF_TABLE_

}  // namespace

Result<void> check_isa_choice() {
    const Result<engine::cpu::IsaLevel>& limit = engine::cpu::isa_level_limit();
    if (!limit) return std::unexpected(limit.error());
    return {};
}

SelectedKernelLevels selected_kernel_levels() { return {relu_level(), casts_level()}; }

}  // namespace pelor::tensor::core
