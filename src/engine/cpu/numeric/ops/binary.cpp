#include "engine/cpu/numeric/ops/binary.hpp"

#include "engine/cpu/elementwise/iterator.hpp"
#include "engine/cpu/numeric/ops/binary_loops.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"

namespace pelor::engine::cpu::numeric::ops {

namespace {

template <class T, class Out>
using Loop = void (*)(const elementwise::Run<T, 2, Out, 1>&);

template <class T, class Out>
KernelResult<NdArray<Out>> run_binary(const NdArray<T>& a, const NdArray<T>& b, Loop<T, Out> loop) {
    // Equal shapes broadcast to themselves: skip building the views.
    if (a.shape() == b.shape()) {
        auto out = elementwise::combine<Out, 1>(ShapeSpan(a.shape()), std::array{a.data(), b.data()},
                                                std::array{StridesSpan(a.strides()), StridesSpan(b.strides())}, loop);
        if (!out) return std::unexpected(out.error());
        return std::move((*out)[0]);
    }
    auto views = broadcast_tensors(a, b);
    if (!views) return std::unexpected(std::move(views.error()));
    auto out = elementwise::combine<Out, 1>(std::array{std::move(views->first), std::move(views->second)}, loop);
    if (!out) return std::unexpected(out.error());
    return std::move((*out)[0]);
}

}  // namespace

template <class T>
KernelResult<NdArray<T>> arithmetic(Arithmetic op, const NdArray<T>& a, const NdArray<T>& b) {
    return run_binary<T, T>(a, b, binary_loops().arithmetic<T>(op));
}
template <class T>
KernelResult<NdArray<bool>> compare(Comparison op, const NdArray<T>& a, const NdArray<T>& b) {
    return run_binary<T, bool>(a, b, binary_loops().compare<T>(op));
}

template KernelResult<NdArray<float>> arithmetic<float>(Arithmetic, const NdArray<float>&, const NdArray<float>&);
template KernelResult<NdArray<F16>> arithmetic<F16>(Arithmetic, const NdArray<F16>&, const NdArray<F16>&);
template KernelResult<NdArray<BF16>> arithmetic<BF16>(Arithmetic, const NdArray<BF16>&, const NdArray<BF16>&);
template KernelResult<NdArray<bool>> compare<float>(Comparison, const NdArray<float>&, const NdArray<float>&);
template KernelResult<NdArray<bool>> compare<F16>(Comparison, const NdArray<F16>&, const NdArray<F16>&);
template KernelResult<NdArray<bool>> compare<BF16>(Comparison, const NdArray<BF16>&, const NdArray<BF16>&);
template KernelResult<NdArray<bool>> compare<bool>(Comparison, const NdArray<bool>&, const NdArray<bool>&);

}  // namespace pelor::engine::cpu::numeric::ops
