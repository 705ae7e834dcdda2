#pragma once
// The element-type rule of the two-operand arithmetic (element-wise and the
// matrix product): both operands of one float type. Its refusals are written
// here once for every such operation.
#include <string>
#include <type_traits>

#include "base/error.hpp"
#include "tensor/storage.hpp"

namespace pelor::engine::cpu::storage {

// kernel(x, y) on the typed arrays of a and b, or the refusal of the pair.
template <class Kernel>
Result<tensor::storage::Storage> with_arithmetic_operands(const tensor::storage::Storage& a,
                                                          const tensor::storage::Storage& b, Kernel&& kernel) {
    using tensor::storage::display_name;
    if (a.dtype() != b.dtype())
        return value_error("Tensor DType mismatch during binary execution. Cannot operate between " +
                           std::string(display_name(a.dtype())) + " and " + std::string(display_name(b.dtype())) +
                           ".");
    return a.visit([&]<class T>(const NdArray<T>& x) -> Result<tensor::storage::Storage> {
        if constexpr (std::is_same_v<T, bool>)
            return type_error(
                "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first.");
        else
            return kernel(x, *b.get_if<T>());
    });
}

}  // namespace pelor::engine::cpu::storage
