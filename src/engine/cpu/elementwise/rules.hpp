#pragma once
// The element rules of the operations in op_list.hpp, one functor each, for
// *.isa.cpp files (internal linkage: each instruction-set level keeps its own
// copy). Arithmetic rules take binary32 values and also the compiler's vector
// types, whose operators apply lane-wise; 16-bit element types reach them
// widened to binary32 (see loops.hpp).
#ifndef PELOR_ISA
#error "rules.hpp belongs to *.isa.cpp files"
#endif

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstdint>

namespace pelor::engine::cpu::elementwise {
namespace {

struct Add {
    template <class V> V operator()(V a, V b) const { return a + b; }
};
struct Sub {
    template <class V> V operator()(V a, V b) const { return a - b; }
};
struct Mul {
    template <class V> V operator()(V a, V b) const { return a * b; }
};
struct Div {
    template <class V> V operator()(V a, V b) const { return a / b; }
};

// IEEE comparisons, ordered and quiet: false whenever a NaN takes part;
// +0 == -0. On Bool bytes false (0) is less than true (1). `predicate` is the
// same test for the vector compares.
#if defined(__AVX2__)
#define PELOR_PREDICATE(p) static constexpr int predicate = p;
#else
#define PELOR_PREDICATE(p)
#endif
struct Eq {
    PELOR_PREDICATE(_CMP_EQ_OQ)
    template <class V> std::uint8_t operator()(V a, V b) const { return a == b; }
};
struct Ge {
    PELOR_PREDICATE(_CMP_GE_OQ)
    template <class V> std::uint8_t operator()(V a, V b) const { return a >= b; }
};
struct Gt {
    PELOR_PREDICATE(_CMP_GT_OQ)
    template <class V> std::uint8_t operator()(V a, V b) const { return a > b; }
};
struct Le {
    PELOR_PREDICATE(_CMP_LE_OQ)
    template <class V> std::uint8_t operator()(V a, V b) const { return a <= b; }
};
struct Lt {
    PELOR_PREDICATE(_CMP_LT_OQ)
    template <class V> std::uint8_t operator()(V a, V b) const { return a < b; }
};
#undef PELOR_PREDICATE

// Bool bytes are 0 or 1, so the bitwise operators give 0 or 1.
struct And {
    std::uint8_t operator()(std::uint8_t a, std::uint8_t b) const { return a & b; }
};
struct Or {
    std::uint8_t operator()(std::uint8_t a, std::uint8_t b) const { return a | b; }
};
struct Xor {
    std::uint8_t operator()(std::uint8_t a, std::uint8_t b) const { return a ^ b; }
};
struct Not {
    std::uint8_t operator()(std::uint8_t a) const { return a ^ 1u; }
};

}  // namespace
}  // namespace pelor::engine::cpu::elementwise
