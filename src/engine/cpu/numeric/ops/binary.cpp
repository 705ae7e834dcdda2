#include "engine/cpu/numeric/ops/binary.hpp"

#include "engine/cpu/numeric/ops/binary_loops.hpp"
#include "engine/cpu/numeric/ops/combine_pair.hpp"

namespace pelor::engine::cpu::numeric::ops {

template <class T>
KernelResult<NdArray<T>> arithmetic(Arithmetic op, const NdArray<T>& a, const NdArray<T>& b) {
    return combine_pair(a, b, binary_loops().arithmetic<T>(op));
}
template <class T>
KernelResult<NdArray<bool>> compare(Comparison op, const NdArray<T>& a, const NdArray<T>& b) {
    return combine_pair(a, b, binary_loops().compare<T>(op));
}

template KernelResult<NdArray<float>> arithmetic<float>(Arithmetic, const NdArray<float>&, const NdArray<float>&);
template KernelResult<NdArray<F16>> arithmetic<F16>(Arithmetic, const NdArray<F16>&, const NdArray<F16>&);
template KernelResult<NdArray<BF16>> arithmetic<BF16>(Arithmetic, const NdArray<BF16>&, const NdArray<BF16>&);
template KernelResult<NdArray<bool>> compare<float>(Comparison, const NdArray<float>&, const NdArray<float>&);
template KernelResult<NdArray<bool>> compare<F16>(Comparison, const NdArray<F16>&, const NdArray<F16>&);
template KernelResult<NdArray<bool>> compare<BF16>(Comparison, const NdArray<BF16>&, const NdArray<BF16>&);
template KernelResult<NdArray<bool>> compare<bool>(Comparison, const NdArray<bool>&, const NdArray<bool>&);

}  // namespace pelor::engine::cpu::numeric::ops
