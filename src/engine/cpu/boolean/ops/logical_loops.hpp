#pragma once
// The run loops behind the logical kernels; one table per instruction-set
// level (logical_loops.isa.cpp), chosen once by logical_loops().
#include <cstddef>

#include "engine/cpu/elementwise/op_list.hpp"
#include "engine/cpu/elementwise/run.hpp"

namespace pelor::engine::cpu::boolean::ops {

struct LogicalLoops {
    using Binary = void (*)(const elementwise::Run<bool, 2, bool, 1>&);
    using Unary = void (*)(const bool* in, bool* out, std::size_t n);

    Binary binary[elementwise::logical_count];  // indexed by elementwise::Logical
    Unary negate;
};

const LogicalLoops& logical_loops();

}  // namespace pelor::engine::cpu::boolean::ops

namespace pelor::isa::baseline {
extern const engine::cpu::boolean::ops::LogicalLoops logical_loops;
}
namespace pelor::isa::avx2 {
extern const engine::cpu::boolean::ops::LogicalLoops logical_loops;
}
namespace pelor::isa::avx512 {
extern const engine::cpu::boolean::ops::LogicalLoops logical_loops;
}
