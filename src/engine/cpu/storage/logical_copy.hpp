#pragma once
// Copies a strided source (byte strides, any sign, zero for broadcast axes)
// into a dense row-major destination, in logical order, through the one
// strided walker (strided_walk.hpp). The caller supplies
// `run(src, byte_stride, n, dst)`, which moves n elements, byte_stride apart
// in the source, to dst[0..n) (a plain copy, or a conversion).
//
// When the source's innermost axis (smallest stride) is not the last axis,
// each plane of those two axes goes to `plane(src, row_stride, col_stride,
// rows, cols, dst, dst_row)` (strides of the source in bytes, of the
// destination in elements) instead; plane_in_tiles walks it in square tiles
// of runs, so a transposed or column-major source is read a few cache lines
// at a time instead of one line per element.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>

#include "base/shape.hpp"
#include "engine/cpu/strided_walk.hpp"

namespace pelor::engine::cpu::storage {

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

// `byte_strides` are the source's; the destination has default strides.
template <class Out, class Run, class Plane>
void copy_logical(const char* src, ShapeSpan shape, StridesSpan byte_strides, Out* dst, Run run, Plane plane) {
    const Strides dst_strides = default_strides(shape);
    auto p = plan_walk<2>(shape, {byte_strides, StridesSpan(dst_strides)}, WalkOrder::row_major);
    if (p.empty) return;
    if (p.ndim == 0) return run(src, std::ptrdiff_t(sizeof(Out)), std::ptrdiff_t(1), dst);

    // The source's innermost axis: its smallest non-zero stride, the last
    // axis (position 0) when that one is as small.
    auto size = [&](std::size_t a) { return std::abs(p.stride[a][0]); };
    std::size_t inner = 0;
    for (std::size_t a = 1; a < p.ndim; ++a)
        if (p.stride[a][0] != 0 && (p.stride[inner][0] == 0 || size(a) < size(inner))) inner = a;
    if (size(0) <= size(inner)) inner = 0;

    if (inner == 0) {
        walk<1>(p, [&](const auto& off) { run(src + off[0], p.stride[0][0], std::ptrdiff_t(p.len[0]), dst + off[1]); });
        return;
    }
    p.move_axis(inner, 1);
    walk<2>(p, [&](const auto& off) {
        plane(src + off[0], p.stride[1][0], p.stride[0][0], std::ptrdiff_t(p.len[1]), std::ptrdiff_t(p.len[0]),
              dst + off[1], p.stride[1][1]);
    });
}

}  // namespace pelor::engine::cpu::storage
