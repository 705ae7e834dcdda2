#pragma once
// Which instruction-set level the kernel tables use: the widest this processor
// runs, or a narrower one named by the environment variable PELOR_ISA (one of
// the level names of cmake/isa.cmake), so that a machine can run, and a test
// suite can check, the same route as an older processor. Read once per
// process, at the first import. The kernel tables' results never depend on
// the level; 16-bit matrix products may (a native unit runs them only at
// avx512_bf16, matmul_native.hpp).
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "engine/cpu/cpu_features.hpp"

namespace pelor::engine::cpu {

// An environment variable's value as a refusal shows it, quoted: printable
// ASCII kept, any other byte escaped (a value need not be UTF-8), at most 64
// bytes.
std::string environment_value_text(std::string_view value);

// The name cmake/isa.cmake gives the level ("baseline", "avx2", ...).
std::string_view isa_level_name(IsaLevel level);

// The widest level the kernel tables may use, or the refusal of PELOR_ISA's
// value (a name this build does not know, or a level this processor lacks),
// as an ImportError whose message lists the values this processor accepts.
// Decided once (thread-safe static); the module's import reports the refusal.
const Result<IsaLevel>& isa_level_limit();

// Whether the kernel tables of `level` run here: this processor supports it
// and PELOR_ISA does not exclude it.
bool isa_level_enabled(IsaLevel level);

}  // namespace pelor::engine::cpu
