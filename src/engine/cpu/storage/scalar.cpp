// Scalar operations on a storage: arithmetic keeps the element type,
// comparisons give Bool; both keep the input's shape and strides. Bool
// storages are refused.
#include <string>
#include <type_traits>

#include "engine/cpu/numeric/ops/scalar.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace pelor::engine::cpu::storage {

namespace {

namespace kernels = numeric::ops::scalar;
using elementwise::Comparison;
using elementwise::ScalarArithmetic;

template <class T>
Result<Storage> wrap(Allocated<NdArray<T>> r) {
    if (!r) return memory_error(r.error());
    return Storage(std::move(*r));
}

Result<Storage> arithmetic(ScalarArithmetic op, const Storage& s, float x) {
    return s.visit([&]<class T>(const NdArray<T>& a) -> Result<Storage> {
        if constexpr (std::is_same_v<T, bool>)
            return value_error(std::string("Tensor DType invalid during scalar ") + word(op) +
                               ". Cannot operate between " + std::string(display_name(s.dtype())) + " and scalar.");
        else
            return wrap(kernels::arithmetic(op, a, x));
    });
}

Result<Storage> compare(Comparison op, const Storage& s, float x) {
    return s.visit([&]<class T>(const NdArray<T>& a) -> Result<Storage> {
        if constexpr (std::is_same_v<T, bool>)
            return runtime_error(std::string("Tensor device or dtype mismatch for scalar ") + symbol(op) +
                                 " operation.");
        else
            return wrap(kernels::compare(op, a, x));
    });
}

}  // namespace

#define PELOR_ARITHMETIC_FUNCTION(name, ...) \
    Result<Storage> CpuStorage::name(const Storage& s, float x) { return arithmetic(ScalarArithmetic::name, s, x); }
#define PELOR_COMPARISON_FUNCTION(name, ...)                        \
    Result<Storage> CpuStorage::scalar_##name(const Storage& s, float x) { \
        return compare(Comparison::name, s, x);                      \
    }
PELOR_SCALAR_ARITHMETIC(PELOR_ARITHMETIC_FUNCTION)
PELOR_COMPARISONS(PELOR_COMPARISON_FUNCTION)
#undef PELOR_ARITHMETIC_FUNCTION
#undef PELOR_COMPARISON_FUNCTION

}  // namespace pelor::engine::cpu::storage
