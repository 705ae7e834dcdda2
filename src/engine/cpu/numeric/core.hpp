#pragma once
// TensorOps: the element operations each numeric element type supplies, for
// code that works one element at a time (gradient kernels, scalar routes).
// binary32 uses its own arithmetic. binary16 and bfloat16 widen exactly to
// binary32, operate there and round once to nearest even: for + - * / that is
// the correctly rounded binary16 result, since binary32 carries more than
// 2 * 11 + 2 significand bits. bfloat16 operands that are NaN get their quiet
// bit before they are used.
//
// These go through half.hpp's inline conversions, so use them from ordinary
// source files only; *.isa.cpp files have their own copies in
// elementwise/half_conversions.hpp (a wide level's out-of-line copy must never be
// shared with baseline code).
#include "base/half.hpp"

namespace pelor::engine::cpu::numeric::core {

template <class T>
struct TensorOps;

template <>
struct TensorOps<float> {
    static float widen(const float& a) { return a; }
    static float narrow(float r) { return r; }
    static float narrow_double(double r) { return float(r); }
    static float kernel_add(const float& a, const float& b) { return a + b; }
    static float kernel_sub(const float& a, const float& b) { return a - b; }
    static float kernel_mul(const float& a, const float& b) { return a * b; }
    static float kernel_div(const float& a, const float& b) { return a / b; }
};

namespace detail {
// The shared form of the 16-bit types: widen, operate in binary32, narrow once.
template <class T>
struct WidenedOps {
    static float widen(const T& a) {
        if constexpr (requires { a.to_float_quiet(); }) return a.to_float_quiet();
        else return a.to_float();
    }
    static T narrow(float r) { return T::from_float(r); }
    static T narrow_double(double r) { return T::from_double(r); }
    static T kernel_add(const T& a, const T& b) { return narrow(widen(a) + widen(b)); }
    static T kernel_sub(const T& a, const T& b) { return narrow(widen(a) - widen(b)); }
    static T kernel_mul(const T& a, const T& b) { return narrow(widen(a) * widen(b)); }
    static T kernel_div(const T& a, const T& b) { return narrow(widen(a) / widen(b)); }
};
}  // namespace detail

template <>
struct TensorOps<F16> : detail::WidenedOps<F16> {};
template <>
struct TensorOps<BF16> : detail::WidenedOps<BF16> {};

}  // namespace pelor::engine::cpu::numeric::core
