#include "engine/cpu/numeric/ops/relu.hpp"

#include "engine/cpu/numeric/ops/relu_kernels.hpp"

namespace pelor::engine::cpu::numeric::ops {

template <class T>
Allocated<NdArray<T>> relu(const NdArray<T>& a) {
    auto out = NdArray<T>::allocate(a.shape(), a.strides());  // element i of the buffer maps to element i
    const std::size_t n = a.size();
    if (!out || n == 0) return out;
    entry_for<T>(relu_kernels())({{a.data()}, {1}, {out->data()}, n});
    return out;
}

template Allocated<NdArray<F16>> relu<F16>(const NdArray<F16>&);
template Allocated<NdArray<BF16>> relu<BF16>(const NdArray<BF16>&);
template Allocated<NdArray<float>> relu<float>(const NdArray<float>&);

}  // namespace pelor::engine::cpu::numeric::ops
