#pragma once
// The rectifier for the three float element types: x for x > 0 (+infinity
// included), +0 for zeros, negative values and NaN. The result keeps the
// input's shape and strides.
#include "base/half.hpp"
#include "base/ndarray.hpp"

namespace pelor::engine::cpu::numeric::ops {

template <class T> Allocated<NdArray<T>> relu(const NdArray<T>& a);  // T: F16, BF16, float

}  // namespace pelor::engine::cpu::numeric::ops
