// Undoing broadcasting on storages, for gradients that arrive with broadcast
// axes where a rule or the accumulation needs the node's own shape.
#include <type_traits>

#include "engine/cpu/numeric/ops/sum_to.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"
#include "engine/cpu/storage/refusals.hpp"

namespace pelor::engine::cpu::storage {

Result<Storage> CpuStorage::sum_to(const Storage& s, const Shape& shape) {
    return s.visit([&](const auto& a) -> Result<Storage> {
        using T = typename std::decay_t<decltype(a)>::value_type;
        if constexpr (std::is_same_v<T, bool>) {
            return bool_arithmetic_refused();
        } else {
            auto r = numeric::ops::sum_to(a, shape);
            if (!r) return kernel_failure(std::move(r.error()));
            return Storage(std::move(*r));
        }
    });
}

Result<Storage> CpuStorage::to_row_major(const Storage& s) {
    if (is_standard_layout(s.shape(), s.strides())) return s.alias();
    return s.visit([](const auto& a) -> Result<Storage> {
        auto r = numeric::ops::to_row_major(a);
        if (!r) return memory_error(r.error());
        return Storage(std::move(*r));
    });
}

}  // namespace pelor::engine::cpu::storage
