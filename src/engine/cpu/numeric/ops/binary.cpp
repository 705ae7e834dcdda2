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

template <class T> Loop<T, T> arith_loop(BinaryArith op);
template <> Loop<float, float> arith_loop<float>(BinaryArith op) { return binary_loops().f32_arith[int(op)]; }
template <> Loop<F16, F16> arith_loop<F16>(BinaryArith op) { return binary_loops().f16_arith[int(op)]; }
template <> Loop<BF16, BF16> arith_loop<BF16>(BinaryArith op) { return binary_loops().bf16_arith[int(op)]; }

template <class T> Loop<T, bool> compare_loop(BinaryCompare op);
template <> Loop<float, bool> compare_loop<float>(BinaryCompare op) { return binary_loops().f32_compare[int(op)]; }
template <> Loop<F16, bool> compare_loop<F16>(BinaryCompare op) { return binary_loops().f16_compare[int(op)]; }
template <> Loop<BF16, bool> compare_loop<BF16>(BinaryCompare op) { return binary_loops().bf16_compare[int(op)]; }
template <> Loop<bool, bool> compare_loop<bool>(BinaryCompare op) { return binary_loops().bool_compare[int(op)]; }

}  // namespace

template <class T> KernelResult<NdArray<T>> add(const NdArray<T>& a, const NdArray<T>& b) {
    return run_binary<T, T>(a, b, arith_loop<T>(BinaryArith::add));
}
template <class T> KernelResult<NdArray<T>> sub(const NdArray<T>& a, const NdArray<T>& b) {
    return run_binary<T, T>(a, b, arith_loop<T>(BinaryArith::sub));
}
template <class T> KernelResult<NdArray<T>> mul(const NdArray<T>& a, const NdArray<T>& b) {
    return run_binary<T, T>(a, b, arith_loop<T>(BinaryArith::mul));
}
template <class T> KernelResult<NdArray<T>> div(const NdArray<T>& a, const NdArray<T>& b) {
    return run_binary<T, T>(a, b, arith_loop<T>(BinaryArith::div));
}

template <class T> KernelResult<NdArray<bool>> eq(const NdArray<T>& a, const NdArray<T>& b) {
    return run_binary<T, bool>(a, b, compare_loop<T>(BinaryCompare::eq));
}
template <class T> KernelResult<NdArray<bool>> ge(const NdArray<T>& a, const NdArray<T>& b) {
    return run_binary<T, bool>(a, b, compare_loop<T>(BinaryCompare::ge));
}
template <class T> KernelResult<NdArray<bool>> gt(const NdArray<T>& a, const NdArray<T>& b) {
    return run_binary<T, bool>(a, b, compare_loop<T>(BinaryCompare::gt));
}
template <class T> KernelResult<NdArray<bool>> le(const NdArray<T>& a, const NdArray<T>& b) {
    return run_binary<T, bool>(a, b, compare_loop<T>(BinaryCompare::le));
}
template <class T> KernelResult<NdArray<bool>> lt(const NdArray<T>& a, const NdArray<T>& b) {
    return run_binary<T, bool>(a, b, compare_loop<T>(BinaryCompare::lt));
}

#define PELOR_BINARY_KERNELS(T)                                                   \
    template KernelResult<NdArray<T>> add<T>(const NdArray<T>&, const NdArray<T>&); \
    template KernelResult<NdArray<T>> sub<T>(const NdArray<T>&, const NdArray<T>&); \
    template KernelResult<NdArray<T>> mul<T>(const NdArray<T>&, const NdArray<T>&); \
    template KernelResult<NdArray<T>> div<T>(const NdArray<T>&, const NdArray<T>&);
#define PELOR_COMPARE_KERNELS(T)                                                       \
    template KernelResult<NdArray<bool>> eq<T>(const NdArray<T>&, const NdArray<T>&); \
    template KernelResult<NdArray<bool>> ge<T>(const NdArray<T>&, const NdArray<T>&); \
    template KernelResult<NdArray<bool>> gt<T>(const NdArray<T>&, const NdArray<T>&); \
    template KernelResult<NdArray<bool>> le<T>(const NdArray<T>&, const NdArray<T>&); \
    template KernelResult<NdArray<bool>> lt<T>(const NdArray<T>&, const NdArray<T>&);
PELOR_BINARY_KERNELS(float)
PELOR_BINARY_KERNELS(F16)
PELOR_BINARY_KERNELS(BF16)
PELOR_COMPARE_KERNELS(float)
PELOR_COMPARE_KERNELS(F16)
PELOR_COMPARE_KERNELS(BF16)
PELOR_COMPARE_KERNELS(bool)

}  // namespace pelor::engine::cpu::numeric::ops
