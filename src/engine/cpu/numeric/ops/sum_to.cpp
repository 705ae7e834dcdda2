#include "engine/cpu/numeric/ops/sum_to.hpp"

#include <algorithm>
#include <array>
#include <type_traits>

#include "engine/cpu/elementwise/iterator.hpp"
#include "engine/cpu/elementwise/map_run.hpp"
#include "engine/cpu/numeric/ops/sum_kernels.hpp"
#include "engine/cpu/strided_walk.hpp"

namespace pelor::engine::cpu::numeric::ops {

namespace {

// Exact widening into the binary64 sums. A signalling NaN needs no quieting
// first: the conversion to binary64 sets its quiet bit.
template <class T>
double widen(T x) {
    if constexpr (std::is_same_v<T, float>) return x;
    else return x.to_float();
}

// One rounding of a binary64 sum to the element type.
template <class T>
T narrow(double d) {
    if constexpr (std::is_same_v<T, float>) return float(d);
    else return T::from_double(d);
}

}  // namespace

template <class T>
KernelResult<NdArray<T>> sum_to(const NdArray<T>& a, ShapeSpan target) {
    const ShapeSpan shape(a.shape());
    const std::size_t n = shape.size();
    auto refused = [&] { return std::unexpected("Cannot sum " + shape_text(shape) + " down to " + shape_text(target)); };
    if (target.size() > n) return refused();

    // Where each axis of `a` steps in the sums: 0 on the axes summed over
    // (leading axes, and axes where the target has length 1).
    const std::size_t lead = n - target.size();
    const Strides target_strides = default_strides(target);
    Strides to(n, 0);
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (target[i] == shape[lead + i]) to[lead + i] = target_strides[i];
        else if (target[i] != 1) return refused();
    }

    const std::size_t count = element_count(target);
    auto sums = AlignedBuffer<double>::allocate(count);
    if (!sums) return std::unexpected(sums.error());
    double* acc = sums->data();
    std::fill_n(acc, count, 0.0);

    const T* src = a.data();
    if (n == 0) {
        acc[0] = widen(src[0]);  // a copy: a lone -0 keeps its sign
    } else {
        // `a` is read in its memory order; each run is added by the
        // vectorised loops, into one sum where the run's axis is summed over.
        auto plan = plan_walk<2>(shape, {StridesSpan(a.strides()), StridesSpan(to)}, WalkOrder::row_major);
        plan.order_by(0);
        const auto loop = entry_for<T>(sum_kernels());
        walk<1>(plan, [&](const auto& off) {
            loop({src + off[0], plan.stride[0][0], acc + off[1], plan.stride[0][1], plan.len[0]});
        });
    }

    auto out = NdArray<T>::allocate(Shape(target.begin(), target.end()));
    if (!out) return std::unexpected(out.error());
    T* dst = out->data();
    for (std::size_t i = 0; i < count; ++i) dst[i] = narrow<T>(acc[i]);
    return std::move(*out);
}

template <class T>
Allocated<NdArray<T>> to_row_major(const NdArray<T>& a) {
    if (a.is_standard_layout()) return a.clone();
    using Run = elementwise::Run<T, 1, T, 1>;
    auto out = elementwise::combine<T, 1>(std::array{a.view()},
                                          [](const Run& r) { elementwise::map_run(r, [](T x) { return x; }); },
                                          elementwise::ResultLayout::row_major);
    if (!out) return std::unexpected(out.error());
    return std::move((*out)[0]);
}

template KernelResult<NdArray<float>> sum_to(const NdArray<float>&, ShapeSpan);
template KernelResult<NdArray<F16>> sum_to(const NdArray<F16>&, ShapeSpan);
template KernelResult<NdArray<BF16>> sum_to(const NdArray<BF16>&, ShapeSpan);
template Allocated<NdArray<float>> to_row_major(const NdArray<float>&);
template Allocated<NdArray<F16>> to_row_major(const NdArray<F16>&);
template Allocated<NdArray<BF16>> to_row_major(const NdArray<BF16>&);
template Allocated<NdArray<bool>> to_row_major(const NdArray<bool>&);

}  // namespace pelor::engine::cpu::numeric::ops
