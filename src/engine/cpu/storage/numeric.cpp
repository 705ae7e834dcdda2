// Element-wise arithmetic and comparisons: check the element types, pick the
// typed kernel, and turn a broadcasting failure into a RuntimeError. The type
// checks come before any shape check.
#include <string>

#include "engine/cpu/numeric/ops/binary.hpp"
#include "engine/cpu/storage/arithmetic_operands.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace pelor::engine::cpu::storage {

namespace {

namespace ops = numeric::ops;
using elementwise::Arithmetic;
using elementwise::Comparison;

template <class T>
Result<Storage> wrap(KernelResult<NdArray<T>> r) {
    if (!r) return kernel_failure(std::move(r.error()));
    return Storage(std::move(*r));
}

Result<Storage> arithmetic(Arithmetic op, const Storage& a, const Storage& b) {
    return with_arithmetic_operands(a, b, [op](const auto& x, const auto& y) { return wrap(ops::arithmetic(op, x, y)); });
}

Result<Storage> compare(Comparison op, const Storage& a, const Storage& b) {
    if (a.dtype() == b.dtype())
        return a.visit([&]<class T>(const NdArray<T>& x) { return wrap(ops::compare(op, x, *b.get_if<T>())); });
    return runtime_error(std::string("Tensor device or dtype mismatch for element-wise ") + symbol(op) +
                         " operation.");
}

}  // namespace

#define PELOR_ARITHMETIC_FUNCTION(name, ...)                                    \
    Result<Storage> CpuStorage::name(const Storage& a, const Storage& b) {     \
        return arithmetic(Arithmetic::name, a, b);                             \
    }
#define PELOR_COMPARISON_FUNCTION(name, ...)                                    \
    Result<Storage> CpuStorage::name(const Storage& a, const Storage& b) {     \
        return compare(Comparison::name, a, b);                                \
    }
PELOR_ARITHMETIC(PELOR_ARITHMETIC_FUNCTION)
PELOR_COMPARISONS(PELOR_COMPARISON_FUNCTION)
#undef PELOR_ARITHMETIC_FUNCTION
#undef PELOR_COMPARISON_FUNCTION

}  // namespace pelor::engine::cpu::storage
