#pragma once
// The Bool kernels: the operations of elementwise::Logical on two broadcast
// arrays through the element-wise iterator (combined layout), and negation
// mapped over the dense buffer (the result keeps the source's strides). Every
// result byte is 0 or 1.
#include "base/error.hpp"
#include "base/ndarray.hpp"
#include "engine/cpu/elementwise/op_list.hpp"

namespace pelor::engine::cpu::boolean::ops {

using elementwise::Logical;

KernelResult<NdArray<bool>> logical(Logical op, const NdArray<bool>& a, const NdArray<bool>& b);
Allocated<NdArray<bool>> logical_not(const NdArray<bool>& a);

}  // namespace pelor::engine::cpu::boolean::ops
