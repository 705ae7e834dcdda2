#pragma once
// Batched matrix product. The last two axes are the matrix (rows, columns);
// leading axes are batch axes that broadcast. Every product runs in binary32:
// 16-bit operands are widened exactly, multiplied, and the result is rounded
// once. Results are always dense row-major arrays.
//
// Operands may have any strides (a transposed or axis-swapped array is read in
// place), so callers that need a transposed operand pass a view with swapped
// shape and strides instead of copying.
#include <cstddef>

#include "base/error.hpp"
#include "base/half.hpp"
#include "base/ndarray.hpp"

namespace pelor::engine::cpu::numeric::ops {

// Shape checks, batch broadcasting, allocation and the batched product.
// Messages, in the order they are checked: rank, inner axes, batch shapes
// ("Shape mismatch: ..."), "Broadcast failed for A to [..]", then B, then a
// result whose element count does not fit in a signed word; a result that
// cannot be allocated is an out-of-memory failure.
KernelResult<NdArray<float>> internal_linalg_matmul(const ArrayView<float>& a, const ArrayView<float>& b);
inline KernelResult<NdArray<float>> internal_linalg_matmul(const NdArray<float>& a, const NdArray<float>& b) {
    return internal_linalg_matmul(a.view(), b.view());
}

// A non-owning strided stack of matrices: the last two axes are the matrix.
template <class T>
struct MatrixStack {
    T* data;
    ShapeSpan shape;
    StridesSpan strides;

    std::size_t ndim() const { return shape.size(); }
};

// out = a · b for every batch index, in row-major order of the batch index.
// All three stacks have the same rank (2 or more) and batch shape (the
// operands' stretched batch axes have stride 0); out is dense row-major and
// not empty. The batch axes are walked by the strided walker (a loop, so the
// rank costs no stack). The operands are never copied except that a small
// product may repack B; that scratch buffer is the only possible failure.
KernelResult<void> batched_matmul(const MatrixStack<float>& out, const MatrixStack<const float>& a,
                                  const MatrixStack<const float>& b);

// The per-element-type entry point.
template <class T>
struct MatmulOps;

template <>
struct MatmulOps<float> {
    static KernelResult<NdArray<float>> do_matmul(const ArrayView<float>& a, const ArrayView<float>& b) {
        return internal_linalg_matmul(a, b);
    }
    static KernelResult<NdArray<float>> do_matmul(const NdArray<float>& a, const NdArray<float>& b) {
        return internal_linalg_matmul(a.view(), b.view());
    }
};

template <>
struct MatmulOps<F16> {
    static KernelResult<NdArray<F16>> do_matmul(const ArrayView<F16>& a, const ArrayView<F16>& b);
    static KernelResult<NdArray<F16>> do_matmul(const NdArray<F16>& a, const NdArray<F16>& b) {
        return do_matmul(a.view(), b.view());
    }
};

template <>
struct MatmulOps<BF16> {
    static KernelResult<NdArray<BF16>> do_matmul(const ArrayView<BF16>& a, const ArrayView<BF16>& b);
    static KernelResult<NdArray<BF16>> do_matmul(const NdArray<BF16>& a, const NdArray<BF16>& b) {
        return do_matmul(a.view(), b.view());
    }
};

}  // namespace pelor::engine::cpu::numeric::ops
