#pragma once
// The element-type rule of the two-operand arithmetic (element-wise and the
// matrix product): both operands of one float type.
#include <type_traits>

#include "base/error.hpp"
#include "engine/cpu/storage/refusals.hpp"
#include "tensor/storage.hpp"

namespace pelor::engine::cpu::storage {

// kernel(x, y) on the typed arrays of a and b, or the refusal of the pair.
template <class Kernel>
Result<tensor::storage::Storage> with_arithmetic_operands(const tensor::storage::Storage& a,
                                                          const tensor::storage::Storage& b, Kernel&& kernel) {
    if (a.dtype() != b.dtype()) return dtype_mismatch(a.dtype(), b.dtype());
    return a.visit([&]<class T>(const NdArray<T>& x) -> Result<tensor::storage::Storage> {
        if constexpr (std::is_same_v<T, bool>)
            return bool_arithmetic_refused();
        else
            return kernel(x, *b.get_if<T>());
    });
}

}  // namespace pelor::engine::cpu::storage
