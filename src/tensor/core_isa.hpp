#pragma once
// The core's answer to whether the engine can run the instruction-set level
// PELOR_ISA asks for (engine/cpu/isa_choice.hpp): the module's import asks it
// before anything else and refuses to load on an error.
#include "base/error.hpp"

namespace pelor::tensor::core {

Result<void> check_isa_choice();

}  // namespace pelor::tensor::core
