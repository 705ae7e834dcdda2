#pragma once
// The Bool kernels: and, or and exclusive or of two broadcast arrays through
// the element-wise iterator (combined layout), and negation mapped over the
// dense buffer (the result keeps the source's strides). Every result byte is
// 0 or 1.
#include "base/error.hpp"
#include "base/ndarray.hpp"

namespace pelor::engine::cpu::boolean::ops {

KernelResult<NdArray<bool>> logical_and(const NdArray<bool>& a, const NdArray<bool>& b);
KernelResult<NdArray<bool>> logical_or(const NdArray<bool>& a, const NdArray<bool>& b);
KernelResult<NdArray<bool>> logical_xor(const NdArray<bool>& a, const NdArray<bool>& b);
Allocated<NdArray<bool>> logical_not(const NdArray<bool>& a);

}  // namespace pelor::engine::cpu::boolean::ops
