#pragma once
// The one walker over strided arrays: element-wise maps, copies, reductions
// and the batch axes of matrix products all go through it.
//
// N operands share one shape; each has its own strides, counted in whatever
// unit its caller uses (elements or bytes). plan_walk() drops the axes of
// length 1, orders the rest innermost first and merges neighbours that are
// contiguous in every operand, so operands that share one dense layout become
// a single axis. walk<Inner>() then counts off the axes outside the innermost
// `Inner` ones and hands the visitor each operand's offset; the visitor
// covers the innermost axes itself (a run for Inner = 1, a plane for 2, one
// element for 0) from plan.len and plan.stride.
//
// A broadcast input has stride 0 on its stretched axes. An output with stride
// 0 on an axis is a reduction: every element along that axis lands on the
// same place, which the visitor accumulates.
//
// Only axes of length 2 or more are kept, and the element count of every
// walked shape fits in a signed word (it has been allocated, or is that of an
// existing array), so fewer than 64 remain whatever the rank; axes of length
// 0 make the walk empty. The walk is a loop, so the rank costs no stack.
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdlib>
#include <type_traits>
#include <utility>

#include "base/shape.hpp"

namespace pelor::engine::cpu {

// Kept axes of one walk at most: each is at least 2 long and their product
// fits in a signed machine word.
inline constexpr std::size_t max_walk_axes = 64;

enum class WalkOrder {
    row_major,     // the last axis innermost
    column_major,  // the first axis innermost
};

template <std::size_t N>
struct WalkPlan {
    using Offsets = std::array<std::ptrdiff_t, N>;

    bool empty = false;  // some axis has length 0: nothing to visit
    std::size_t ndim = 0;
    // Axes innermost first; entries from ndim on are length 1, stride 0, so
    // a visitor of two inner axes can read both even when fewer are kept.
    std::array<std::size_t, max_walk_axes> len;
    std::array<Offsets, max_walk_axes> stride;

    // Merges each axis into the one inside it where every operand steps from
    // the inner axis's last element straight to the outer axis's next.
    void merge() {
        std::size_t k = 0;
        for (std::size_t a = 0; a < ndim; ++a) {
            if (k > 0 && contiguous(k - 1, a)) {
                len[k - 1] *= len[a];
                continue;
            }
            len[k] = len[a];
            stride[k] = stride[a];
            ++k;
        }
        pad(k);
    }

    // Reorders the axes by operand j's stride, smallest innermost, so that
    // operand j is read in its memory order; then merges again. Ties keep
    // their order.
    void order_by(std::size_t j) {
        for (std::size_t a = 1; a < ndim; ++a) {
            for (std::size_t b = a; b > 0 && std::abs(stride[b][j]) < std::abs(stride[b - 1][j]); --b) {
                std::swap(len[b], len[b - 1]);
                std::swap(stride[b], stride[b - 1]);
            }
        }
        merge();
    }

    // Moves axis `from` to position `to`, shifting the axes between.
    void move_axis(std::size_t from, std::size_t to) {
        assert(from < ndim && to < ndim);
        while (from > to) {
            std::swap(len[from], len[from - 1]);
            std::swap(stride[from], stride[from - 1]);
            --from;
        }
        while (from < to) {
            std::swap(len[from], len[from + 1]);
            std::swap(stride[from], stride[from + 1]);
            ++from;
        }
    }

    void pad(std::size_t kept) {
        ndim = kept;
        for (std::size_t a = kept; a < max_walk_axes && a < kept + 2; ++a) {
            len[a] = 1;
            stride[a] = Offsets{};
        }
    }

private:
    bool contiguous(std::size_t inner, std::size_t outer) const {
        for (std::size_t j = 0; j < N; ++j)
            if (stride[outer][j] != stride[inner][j] * std::ptrdiff_t(len[inner])) return false;
        return true;
    }
};

template <std::size_t N>
WalkPlan<N> plan_walk(ShapeSpan shape, const std::array<StridesSpan, N>& strides, WalkOrder order) {
    WalkPlan<N> plan;
    const std::size_t nd = shape.size();
    std::size_t k = 0;
    for (std::size_t i = 0; i < nd; ++i) {
        const std::size_t axis = order == WalkOrder::column_major ? i : nd - 1 - i;
        const std::size_t d = shape[axis];
        if (d == 0) {
            plan.empty = true;
            plan.pad(0);
            return plan;
        }
        if (d == 1) continue;
        assert(k < max_walk_axes);
        plan.len[k] = d;
        for (std::size_t j = 0; j < N; ++j) plan.stride[k][j] = strides[j][axis];
        ++k;
    }
    plan.ndim = k;
    plan.merge();
    return plan;
}

// Calls visit(offsets) once for every index of the axes from `Inner` on,
// the outermost slowest. A visitor that returns bool stops the walk by
// returning false; walk() then returns false too.
template <std::size_t Inner, std::size_t N, class Visit>
bool walk(const WalkPlan<N>& plan, Visit&& visit) {
    static_assert(Inner <= 2);
    using Offsets = typename WalkPlan<N>::Offsets;
    if (plan.empty) return true;
    auto call = [&](const Offsets& off) {
        if constexpr (std::is_same_v<decltype(visit(off)), bool>) return visit(off);
        else return (visit(off), true);
    };
    Offsets off{};
    if (plan.ndim <= Inner) return call(off);
    std::array<std::size_t, max_walk_axes> index;
    for (std::size_t a = Inner; a < plan.ndim; ++a) index[a] = 0;
    for (;;) {
        if (!call(off)) return false;
        std::size_t a = Inner;
        for (; a < plan.ndim; ++a) {
            if (++index[a] < plan.len[a]) {
                for (std::size_t j = 0; j < N; ++j) off[j] += plan.stride[a][j];
                break;
            }
            index[a] = 0;
            for (std::size_t j = 0; j < N; ++j) off[j] -= plan.stride[a][j] * std::ptrdiff_t(plan.len[a] - 1);
        }
        if (a == plan.ndim) return true;
    }
}

}  // namespace pelor::engine::cpu
