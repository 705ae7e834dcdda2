#pragma once
// Copies a strided source (byte strides, any sign, zero for broadcast axes)
// into a dense row-major destination, in logical order. The caller supplies
// `run(src, byte_stride, n, dst)`, which moves n elements, byte_stride apart
// in the source, to dst[0..n) (a plain copy, or a conversion).
//
// Axes of length 1 are dropped and axes that are contiguous with each other
// merged first. When the source's innermost axis (smallest stride) is not the
// last axis, each plane of those two axes goes to `plane(src, row_stride,
// col_stride, rows, cols, dst, dst_row)` (strides of the source in bytes, of
// the destination in elements); plane_in_tiles walks it in square tiles of
// runs, so a transposed or column-major source is read a few cache lines at a
// time instead of one line per element. The other axes are counted off
// iteratively.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>

namespace pelor::engine::cpu::storage {

inline constexpr int max_copy_axes = 32;

template <class Out, class Run>
void plane_in_tiles(const char* src, std::ptrdiff_t rs, std::ptrdiff_t cs, std::ptrdiff_t rows, std::ptrdiff_t cols,
                    Out* dst, std::ptrdiff_t rd, Run& run) {
    constexpr std::ptrdiff_t tile = 32;
    for (std::ptrdiff_t r0 = 0; r0 < rows; r0 += tile) {
        const std::ptrdiff_t r1 = std::min(rows, r0 + tile);
        for (std::ptrdiff_t c0 = 0; c0 < cols; c0 += tile) {
            const std::ptrdiff_t m = std::min(cols - c0, tile);
            for (std::ptrdiff_t r = r0; r < r1; ++r) run(src + r * rs + c0 * cs, cs, m, dst + r * rd + c0);
        }
    }
}

template <class Out, class Run, class Plane>
void copy_logical(const char* src, const std::ptrdiff_t* shape, const std::ptrdiff_t* strides, int ndim, Out* dst,
                  Run run, Plane plane) {
    // Merged axes, in logical order.
    std::array<std::ptrdiff_t, max_copy_axes> len{}, stride{};
    int n = 0;
    for (int i = 0; i < ndim; ++i) {
        if (shape[i] == 0) return;
        if (shape[i] == 1) continue;
        if (n > 0 && stride[n - 1] == strides[i] * shape[i]) {
            len[n - 1] *= shape[i];
            stride[n - 1] = strides[i];
        } else {
            len[n] = shape[i];
            stride[n] = strides[i];
            ++n;
        }
    }
    if (n == 0) return run(src, std::ptrdiff_t(sizeof(Out)), std::ptrdiff_t(1), dst);

    const int last = n - 1;
    int inner = last;  // the source's innermost axis: smallest non-zero stride
    for (int i = 0; i < n; ++i)
        if (stride[i] != 0 && (stride[inner] == 0 || std::abs(stride[i]) < std::abs(stride[inner]))) inner = i;
    if (std::abs(stride[last]) <= std::abs(stride[inner])) inner = last;

    // Element strides of the destination, per merged axis.
    std::array<std::ptrdiff_t, max_copy_axes> dst_stride{};
    std::ptrdiff_t step = 1;
    for (int i = last; i >= 0; --i) {
        dst_stride[i] = step;
        step *= len[i];
    }

    // The axes counted off outside the innermost walk, last one fastest.
    std::array<int, max_copy_axes> outer{};
    int n_outer = 0;
    for (int i = 0; i < last; ++i)
        if (i != inner) outer[n_outer++] = i;
    std::array<std::ptrdiff_t, max_copy_axes> index{};

    const std::ptrdiff_t cols = len[last], cs = stride[last];
    for (;;) {
        const char* s = src;
        Out* d = dst;
        for (int k = 0; k < n_outer; ++k) {
            s += index[k] * stride[outer[k]];
            d += index[k] * dst_stride[outer[k]];
        }
        if (inner == last) {
            run(s, cs, cols, d);
        } else {
            plane(s, stride[inner], cs, len[inner], cols, d, dst_stride[inner]);
        }
        int k = n_outer - 1;
        for (; k >= 0; --k) {
            if (++index[k] < len[outer[k]]) break;
            index[k] = 0;
        }
        if (k < 0) return;
    }
}

}  // namespace pelor::engine::cpu::storage
