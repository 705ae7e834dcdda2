#pragma once
// Inner loops for *.isa.cpp files (compiled once per instruction-set level).
// Everything here has internal linkage, so each level keeps its own copy and
// the linker can never hand a wide level's code to a baseline caller. Do not
// include this header from ordinary source files.
//
// - binary_loop: one run of a two-input element rule with the engine's three
//   paths (both contiguous; one side a broadcast scalar; generic strides).
// - half_binary_loop runs binary16/bfloat16 rules in binary32 over blocks
//   (the conversions of half_conversions.hpp): widen exactly, apply the
//   binary32 rule (vectorised), narrow once to nearest even. When both
//   operands are contiguous, the 16-bit arithmetic runs fused (widen,
//   operate, narrow in registers) instead of through blocks.
#ifndef PELOR_ISA
#error "isa_loops.hpp belongs to *.isa.cpp files"
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "engine/cpu/elementwise/half_conversions.hpp"

namespace pelor::engine::cpu::elementwise {
namespace {

using std::ptrdiff_t;
using std::size_t;

// ---- one run of a two-input rule ------------------------------------------

template <class Op, class In, class Out>
void contiguous_loop(const In* __restrict a, const In* __restrict b, Out* __restrict out, size_t n, Op op) {
    for (size_t i = 0; i < n; ++i) out[i] = op(a[i], b[i]);
}

template <class Op, class In, class Out>
void left_scalar_loop(In a, const In* __restrict b, Out* __restrict out, size_t n, Op op) {
    for (size_t i = 0; i < n; ++i) out[i] = op(a, b[i]);
}

template <class Op, class In, class Out>
void right_scalar_loop(const In* __restrict a, In b, Out* __restrict out, size_t n, Op op) {
    for (size_t i = 0; i < n; ++i) out[i] = op(a[i], b);
}

template <class Op, class In, class Out>
void strided_loop(const In* __restrict a, ptrdiff_t sa, const In* __restrict b, ptrdiff_t sb, Out* __restrict out,
                  size_t n, Op op) {
    for (size_t i = 0; i < n; ++i) out[i] = op(a[ptrdiff_t(i) * sa], b[ptrdiff_t(i) * sb]);
}

// The output is contiguous; sa and sb are the inputs' strides in elements.
template <class Op, class In, class Out>
void binary_loop(const In* a, ptrdiff_t sa, const In* b, ptrdiff_t sb, Out* out, size_t n, Op op) {
    if (sa == 1 && sb == 1) contiguous_loop(a, b, out, n, op);
    else if (sa == 0 && sb == 1) left_scalar_loop(*a, b, out, n, op);
    else if (sa == 1 && sb == 0) right_scalar_loop(a, *b, out, n, op);
    else strided_loop(a, sa, b, sb, out, n, op);
}

inline constexpr size_t half_block = 512;

// One operand's block in binary32: widened in place of a contiguous run,
// gathered first when strided, repeated when broadcast.
template <class Conv>
void load_block(const std::uint16_t* src, ptrdiff_t stride, float* dst, size_t m) {
    if (stride == 1) return Conv::widen(src, dst, m);
    if (stride == 0) {
        const float v = Conv::widen1(*src);
        for (size_t i = 0; i < m; ++i) dst[i] = v;
        return;
    }
    alignas(64) std::uint16_t gathered[half_block];
    for (size_t i = 0; i < m; ++i) gathered[i] = src[ptrdiff_t(i) * stride];
    Conv::widen(gathered, dst, m);
}

// Out = std::uint16_t: op returns binary32, narrowed once per element.
// Out = std::uint8_t: op is a predicate, written as 0 or 1.
template <class Conv, class Op, class Out>
void half_binary_loop(const std::uint16_t* a, ptrdiff_t sa, const std::uint16_t* b, ptrdiff_t sb, Out* out, size_t n,
                      Op op) {
    if constexpr (sizeof(Out) == 2) {
        if (sa == 1 && sb == 1) return Conv::fused(a, b, out, n, op);
    }
    alignas(64) float fa[half_block];
    alignas(64) float fb[half_block];
    alignas(64) float fr[half_block];
    for (size_t i0 = 0; i0 < n; i0 += half_block) {
        const size_t m = std::min(half_block, n - i0);
        load_block<Conv>(a + ptrdiff_t(i0) * sa, sa, fa, m);
        load_block<Conv>(b + ptrdiff_t(i0) * sb, sb, fb, m);
        if constexpr (sizeof(Out) == 2) {
            contiguous_loop(fa, fb, fr, m, op);
            Conv::narrow(fr, out + i0, m);
        } else {
            contiguous_loop(fa, fb, out + i0, m, op);
        }
    }
}

}  // namespace
}  // namespace pelor::engine::cpu::elementwise
