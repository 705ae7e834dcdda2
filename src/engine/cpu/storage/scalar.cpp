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

template <class T>
Result<Storage> wrap(Allocated<NdArray<T>> r) {
    if (!r) return memory_error(r.error());
    return Storage(std::move(*r));
}

template <class Kernel>
Result<Storage> arith(const Storage& s, float x, const char* word, Kernel kernel) {
    return s.visit([&]<class T>(const NdArray<T>& a) -> Result<Storage> {
        if constexpr (std::is_same_v<T, bool>)
            return value_error(std::string("Tensor DType invalid during scalar ") + word +
                               ". Cannot operate between " + std::string(display_name(s.dtype())) + " and scalar.");
        else
            return wrap(kernel(a, x));
    });
}

template <class Kernel>
Result<Storage> compare(const Storage& s, float x, const char* symbol, Kernel kernel) {
    return s.visit([&]<class T>(const NdArray<T>& a) -> Result<Storage> {
        if constexpr (std::is_same_v<T, bool>)
            return runtime_error(std::string("Tensor device or dtype mismatch for scalar ") + symbol + " operation.");
        else
            return wrap(kernel(a, x));
    });
}

// The kernels are templates; these pick the instance for the visited type.
#define PELOR_KERNEL(name) [](const auto& a, float x) { return kernels::name(a, x); }

}  // namespace

Result<Storage> CpuStorage::scalar_add(const Storage& s, float x) { return arith(s, x, "add", PELOR_KERNEL(scalar_add)); }
Result<Storage> CpuStorage::scalar_sub(const Storage& s, float x) { return arith(s, x, "sub", PELOR_KERNEL(scalar_sub)); }
Result<Storage> CpuStorage::scalar_mul(const Storage& s, float x) {
    return arith(s, x, "product", PELOR_KERNEL(scalar_mul));
}

Result<Storage> CpuStorage::scalar_eq(const Storage& s, float x) { return compare(s, x, "==", PELOR_KERNEL(scalar_eq)); }
Result<Storage> CpuStorage::scalar_ge(const Storage& s, float x) { return compare(s, x, ">=", PELOR_KERNEL(scalar_ge)); }
Result<Storage> CpuStorage::scalar_gt(const Storage& s, float x) { return compare(s, x, ">", PELOR_KERNEL(scalar_gt)); }
Result<Storage> CpuStorage::scalar_le(const Storage& s, float x) { return compare(s, x, "<=", PELOR_KERNEL(scalar_le)); }
Result<Storage> CpuStorage::scalar_lt(const Storage& s, float x) { return compare(s, x, "<", PELOR_KERNEL(scalar_lt)); }

#undef PELOR_KERNEL

}  // namespace pelor::engine::cpu::storage
