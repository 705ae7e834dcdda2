#pragma once
// The element-wise operations, each listed once. The enums below, the kernel
// tables' rows, the CpuStorage functions and the core Tensor functions are all
// generated from these lists, so no operation can have an enum value without
// a table row, or a table row in the wrong place.
//
// Each list calls X once per operation, in table order:
//   name  the CpuStorage and core Tensor function (and the enum value);
//   Rule  the element rule, a functor of elementwise/rules.hpp (a scalar
//         operation names the two-tensor operation whose rule it applies);
//   Node  the node kind that records it for autograd (autograd/ops.hpp);
//   text  how refusal messages name it.
#include <cstddef>

// Tensor op tensor of one float element type, with gradients.
#define PELOR_ARITHMETIC(X) \
    X(add, Add, AddNode)    \
    X(sub, Sub, SubNode)    \
    X(mul, Mul, MulNode)    \
    X(div, Div, DivNode)

// Tensor op binary32 number, with gradients; the number is the right operand
// of the named two-tensor operation. (t / x is t * (1 / x): see
// Tensor::scalar_div.)
#define PELOR_SCALAR_ARITHMETIC(X)               \
    X(scalar_add, add, ScalarAddNode, "add")     \
    X(scalar_sub, sub, ScalarSubNode, "sub")     \
    X(scalar_mul, mul, ScalarMulNode, "product")

// Comparisons giving Bool, of two tensors (name) and of a tensor and a number
// (scalar_name). Constants: no gradients.
#define PELOR_COMPARISONS(X) \
    X(eq, Eq, "==")          \
    X(ge, Ge, ">=")          \
    X(gt, Gt, ">")           \
    X(le, Le, "<=")          \
    X(lt, Lt, "<")

// Logic of two Bool tensors. Constants.
#define PELOR_LOGICAL(X)     \
    X(logical_and, And)      \
    X(logical_or, Or)        \
    X(logical_xor, Xor)

namespace pelor::engine::cpu::elementwise {

#define PELOR_ENUM_VALUE(name, ...) name,
enum class Arithmetic { PELOR_ARITHMETIC(PELOR_ENUM_VALUE) };
enum class ScalarArithmetic { PELOR_SCALAR_ARITHMETIC(PELOR_ENUM_VALUE) };
enum class Comparison { PELOR_COMPARISONS(PELOR_ENUM_VALUE) };
enum class Logical { PELOR_LOGICAL(PELOR_ENUM_VALUE) };
#undef PELOR_ENUM_VALUE

// Table sizes.
#define PELOR_ONE(...) +1
inline constexpr std::size_t arithmetic_count = 0 PELOR_ARITHMETIC(PELOR_ONE);
inline constexpr std::size_t scalar_arithmetic_count = 0 PELOR_SCALAR_ARITHMETIC(PELOR_ONE);
inline constexpr std::size_t comparison_count = 0 PELOR_COMPARISONS(PELOR_ONE);
inline constexpr std::size_t logical_count = 0 PELOR_LOGICAL(PELOR_ONE);
#undef PELOR_ONE

// The operator symbol of a comparison, for messages.
constexpr const char* symbol(Comparison op) {
#define PELOR_SYMBOL(name, Rule, text) text,
    constexpr const char* symbols[] = {PELOR_COMPARISONS(PELOR_SYMBOL)};
#undef PELOR_SYMBOL
    return symbols[std::size_t(op)];
}

// The two-tensor operation that a scalar operation applies.
constexpr Arithmetic binary_form(ScalarArithmetic op) {
#define PELOR_BINARY_FORM(name, binary, ...) Arithmetic::binary,
    constexpr Arithmetic forms[] = {PELOR_SCALAR_ARITHMETIC(PELOR_BINARY_FORM)};
#undef PELOR_BINARY_FORM
    return forms[std::size_t(op)];
}

// The word naming a scalar operation, for messages.
constexpr const char* word(ScalarArithmetic op) {
#define PELOR_WORD(name, Rule, Node, text) text,
    constexpr const char* words[] = {PELOR_SCALAR_ARITHMETIC(PELOR_WORD)};
#undef PELOR_WORD
    return words[std::size_t(op)];
}

}  // namespace pelor::engine::cpu::elementwise
