// The rectifier on a storage; Bool is refused.
#include <type_traits>

#include "engine/cpu/numeric/ops/relu.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace pelor::engine::cpu::storage {

Result<Storage> CpuStorage::relu(const Storage& s) {
    return s.visit([]<class T>(const NdArray<T>& a) -> Result<Storage> {
        if constexpr (std::is_same_v<T, bool>)
            return type_error("Tensor Dtype not supported for this operation: relu");
        else if (auto r = numeric::ops::relu(a); r)
            return Storage(std::move(*r));
        else
            return memory_error(r.error());
    });
}

}  // namespace pelor::engine::cpu::storage
