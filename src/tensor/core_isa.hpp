#pragma once
// What the core reports of the engine's instruction-set level: whether the
// level PELOR_ISA asks for can run (engine/cpu/isa_choice.hpp), which the
// module's import asks before anything else, refusing to load on an error;
// and which level's kernels were chosen, for the test suite's hook.
#include <string_view>

#include "base/error.hpp"

namespace pelor::tensor::core {

Result<void> check_isa_choice();

// The level names of the tables chosen for relu (a table every level has) and
// for the float32 casts (one the additional levels have too).
struct SelectedKernelLevels {
    std::string_view relu;
    std::string_view casts;
};
SelectedKernelLevels selected_kernel_levels();

}  // namespace pelor::tensor::core
