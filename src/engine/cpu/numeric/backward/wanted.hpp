#pragma once
// Which operands' gradients a two-operand backward rule needs. The gradient of
// an operand that no tensor can read (a constant's) is not computed, and comes
// back empty.
namespace pelor::engine::cpu::numeric::backward {

struct Wanted {
    bool lhs = true;
    bool rhs = true;
};

}  // namespace pelor::engine::cpu::numeric::backward
