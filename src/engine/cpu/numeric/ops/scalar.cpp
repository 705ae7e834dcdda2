#include "engine/cpu/numeric/ops/scalar.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "engine/cpu/numeric/ops/binary_loops.hpp"

namespace pelor::engine::cpu::numeric::ops::scalar {

namespace {

// The scalar rounded to T.
template <class T>
T in_element_type(float x) {
    if constexpr (std::is_same_v<T, float>) return x;
    else return T::from_float(x);
}

// What e op x gives for every e when x is a NaN: the scalar's NaN, quieted,
// in T. Which of two NaN operands propagates through a hardware operation
// depends on the order in which the compiler placed them; filling the result
// instead keeps every instruction-set level bit-identical.
template <class T>
T quiet_nan_of(float x) {
    if constexpr (std::is_same_v<T, float>) return std::bit_cast<float>(std::bit_cast<std::uint32_t>(x) | 0x00400000u);
    else return in_element_type<T>(x);  // the 16-bit rounding sets the quiet bit
}

// Result with the input's shape and strides: element i of the buffer maps to
// element i.
template <class R, class T>
Allocated<NdArray<R>> same_layout(const NdArray<T>& a) {
    return NdArray<R>::allocate(a.shape(), a.strides());
}

}  // namespace

template <class T>
Allocated<NdArray<T>> arithmetic(ScalarArithmetic op, const NdArray<T>& a, float x) {
    auto out = same_layout<T>(a);
    const std::size_t n = a.size();
    if (!out || n == 0) return out;
    if (std::isnan(x)) {
        const T fill = quiet_nan_of<T>(x);
        T* p = out->data();
        for (std::size_t i = 0; i < n; ++i) p[i] = fill;
        return out;
    }
    const T xs = in_element_type<T>(x);
    binary_loops().arithmetic<T>(binary_form(op))({{a.data(), &xs}, {1, 0}, {out->data()}, n});
    return out;
}

template <class T>
Allocated<NdArray<bool>> compare(Comparison op, const NdArray<T>& a, float x) {
    auto out = same_layout<bool>(a);
    const std::size_t n = a.size();
    if (!out || n == 0) return out;
    const T xs = in_element_type<T>(x);
    binary_loops().compare<T>(op)({{a.data(), &xs}, {1, 0}, {out->data()}, n});
    return out;
}

#define PELOR_INSTANTIATE_SCALAR(T)                                                        \
    template Allocated<NdArray<T>> arithmetic<T>(ScalarArithmetic, const NdArray<T>&, float); \
    template Allocated<NdArray<bool>> compare<T>(Comparison, const NdArray<T>&, float);

PELOR_INSTANTIATE_SCALAR(F16)
PELOR_INSTANTIATE_SCALAR(BF16)
PELOR_INSTANTIATE_SCALAR(float)
#undef PELOR_INSTANTIATE_SCALAR

}  // namespace pelor::engine::cpu::numeric::ops::scalar
