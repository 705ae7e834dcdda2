#pragma once
// Batched matrix product. The last two axes are the matrix (rows, columns);
// leading axes are batch axes that broadcast. Every product is computed as in
// binary32: 16-bit operands are widened exactly, multiplied, summed in binary32
// (or, on a native 16-bit unit, at least as accurately: matmul_native.hpp) and
// the result is rounded once. Results are always dense row-major arrays.
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

// The geometry shared by every matrix of a batch: m × k times k × n, with the
// operands' row and column strides. The stride of a length-1 axis is never
// used to step, so it may hold anything; libraries check it all the same, so
// it is given the value a dense layout would have.
struct MatrixShape {
    std::size_t m, k, n;
    std::ptrdiff_t a_rs, a_cs, b_rs, b_cs;
};

inline void normalise_strides(std::size_t rows, std::size_t cols, std::ptrdiff_t& rs, std::ptrdiff_t& cs) {
    std::ptrdiff_t span;
    if (rows == 1 && cols == 1) rs = cs = 1;
    else if (rows == 1 && !__builtin_mul_overflow(std::ptrdiff_t(cols), cs, &span)) rs = span;
    else if (cols == 1 && !__builtin_mul_overflow(std::ptrdiff_t(rows), rs, &span)) cs = span;
}

template <class T>
MatrixShape matrix_shape(const MatrixStack<const T>& a, const MatrixStack<const T>& b) {
    const std::size_t r = a.ndim();
    MatrixShape g{a.shape[r - 2], a.shape[r - 1], b.shape[r - 1],
                  a.strides[r - 2], a.strides[r - 1], b.strides[r - 2], b.strides[r - 1]};
    normalise_strides(g.m, g.k, g.a_rs, g.a_cs);
    normalise_strides(g.k, g.n, g.b_rs, g.b_cs);
    return g;
}

// Whether a view covers exactly its element count of consecutive elements
// from its data pointer in some axis order (a dense array, possibly with
// permuted axes).
bool is_dense(ShapeSpan shape, StridesSpan strides);

// out = a · b for every batch index, in row-major order of the batch index.
// All three stacks have the same rank (2 or more) and batch shape (the
// operands' stretched batch axes have stride 0); out is dense row-major and
// not empty. The batch axes are walked by the strided walker (a loop, so the
// rank costs no stack). The operands are never copied except that a small
// product may repack B; that scratch buffer is the only possible failure.
KernelResult<void> batched_matmul(const MatrixStack<float>& out, const MatrixStack<const float>& a,
                                  const MatrixStack<const float>& b);

// The float32 route of a 16-bit product (F16 or BF16): both operands widened
// exactly, the binary32 product, the result rounded once to nearest even.
template <class T>
KernelResult<NdArray<T>> widened_matmul(const ArrayView<T>& a, const ArrayView<T>& b);

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
