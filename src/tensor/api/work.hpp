#pragma once
// How much work an operation is about to do, to decide whether it runs
// detached (base/detached.hpp). Estimates only: operands the operation will
// refuse get some number, and the refusal comes from the operation itself.
// Counts saturate instead of overflowing.
#include <algorithm>
#include <cstddef>
#include <limits>

#include "base/shape.hpp"
#include "tensor/storage.hpp"

namespace pelor::tensor::api {

namespace work_detail {

inline std::size_t times(std::size_t a, std::size_t b) {
    std::size_t p;
    return __builtin_mul_overflow(a, b, &p) ? std::numeric_limits<std::size_t>::max() : p;
}

// Elements of the shape that a and b broadcast to (their trailing axes
// aligned); 0 when either has an empty axis.
inline std::size_t broadcast_count(ShapeSpan a, ShapeSpan b) {
    const auto empty = [](ShapeSpan s) { return std::ranges::find(s, std::size_t(0)) != s.end(); };
    if (empty(a) || empty(b)) return 0;
    if (a.size() < b.size()) std::swap(a, b);
    std::size_t n = 1;
    const std::size_t offset = a.size() - b.size();
    for (std::size_t i = 0; i < a.size(); ++i)
        n = times(n, i < offset ? a[i] : std::max(a[i], b[i - offset]));
    return n;
}

}  // namespace work_detail

// An element-wise operation on one operand, or on an operand and a number.
inline std::size_t elementwise_work(const storage::Storage& s) { return s.size(); }

// An element-wise operation on two operands: the broadcast result's elements.
inline std::size_t elementwise_work(const storage::Storage& a, const storage::Storage& b) {
    return work_detail::broadcast_count(a.shape(), b.shape());
}

// A (batched) matrix product: multiply-adds, m * k * n per broadcast batch
// element.
inline std::size_t matmul_work(const storage::Storage& a, const storage::Storage& b) {
    const ShapeSpan sa = a.shape(), sb = b.shape();
    if (sa.size() < 2 || sb.size() < 2) return 0;
    const std::size_t m = sa[sa.size() - 2], k = sa.back(), n = sb.back();
    const std::size_t batch = work_detail::broadcast_count(sa.first(sa.size() - 2), sb.first(sb.size() - 2));
    return work_detail::times(work_detail::times(batch, m), work_detail::times(k, n));
}

}  // namespace pelor::tensor::api
