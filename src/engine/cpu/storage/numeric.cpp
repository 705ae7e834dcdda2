// Element-wise arithmetic and comparisons: check the element types, pick the
// typed kernel, and turn a broadcasting failure into a RuntimeError. The type
// checks come before any shape check.
#include <string>

#include "engine/cpu/numeric/ops/binary.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"
#include "engine/cpu/storage/refusals.hpp"

namespace pelor::engine::cpu::storage {

namespace {

namespace ops = numeric::ops;

template <class T>
Result<Storage> wrap(KernelResult<NdArray<T>> r) {
    if (!r) return kernel_failure(std::move(r.error()));
    return Storage(std::move(*r));
}

// Kernel: a generic callable taking two arrays of one element type.
template <class Kernel>
Result<Storage> arithmetic(const Storage& a, const Storage& b, Kernel kernel) {
    if (a.dtype() == b.dtype()) {
        switch (a.dtype()) {
            case DType::F32: return wrap(kernel(*a.get_if<float>(), *b.get_if<float>()));
            case DType::F16: return wrap(kernel(*a.get_if<F16>(), *b.get_if<F16>()));
            case DType::BF16: return wrap(kernel(*a.get_if<BF16>(), *b.get_if<BF16>()));
            case DType::Bool: return bool_arithmetic_refused();
        }
    }
    return dtype_mismatch(a.dtype(), b.dtype());
}

template <class Kernel>
Result<Storage> comparison(const Storage& a, const Storage& b, const char* symbol, Kernel kernel) {
    if (a.dtype() == b.dtype()) {
        switch (a.dtype()) {
            case DType::F32: return wrap(kernel(*a.get_if<float>(), *b.get_if<float>()));
            case DType::F16: return wrap(kernel(*a.get_if<F16>(), *b.get_if<F16>()));
            case DType::BF16: return wrap(kernel(*a.get_if<BF16>(), *b.get_if<BF16>()));
            case DType::Bool: return wrap(kernel(*a.get_if<bool>(), *b.get_if<bool>()));
        }
    }
    return runtime_error(std::string("Tensor device or dtype mismatch for element-wise ") + symbol + " operation.");
}

}  // namespace

Result<Storage> CpuStorage::add(const Storage& a, const Storage& b) {
    return arithmetic(a, b, [](const auto& x, const auto& y) { return ops::add(x, y); });
}
Result<Storage> CpuStorage::sub(const Storage& a, const Storage& b) {
    return arithmetic(a, b, [](const auto& x, const auto& y) { return ops::sub(x, y); });
}
Result<Storage> CpuStorage::mul(const Storage& a, const Storage& b) {
    return arithmetic(a, b, [](const auto& x, const auto& y) { return ops::mul(x, y); });
}
Result<Storage> CpuStorage::div(const Storage& a, const Storage& b) {
    return arithmetic(a, b, [](const auto& x, const auto& y) { return ops::div(x, y); });
}

Result<Storage> CpuStorage::eq(const Storage& a, const Storage& b) {
    return comparison(a, b, "==", [](const auto& x, const auto& y) { return ops::eq(x, y); });
}
Result<Storage> CpuStorage::ge(const Storage& a, const Storage& b) {
    return comparison(a, b, ">=", [](const auto& x, const auto& y) { return ops::ge(x, y); });
}
Result<Storage> CpuStorage::gt(const Storage& a, const Storage& b) {
    return comparison(a, b, ">", [](const auto& x, const auto& y) { return ops::gt(x, y); });
}
Result<Storage> CpuStorage::le(const Storage& a, const Storage& b) {
    return comparison(a, b, "<=", [](const auto& x, const auto& y) { return ops::le(x, y); });
}
Result<Storage> CpuStorage::lt(const Storage& a, const Storage& b) {
    return comparison(a, b, "<", [](const auto& x, const auto& y) { return ops::lt(x, y); });
}

}  // namespace pelor::engine::cpu::storage
