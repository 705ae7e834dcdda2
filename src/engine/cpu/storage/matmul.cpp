// Matrix product: element-type checks and dispatch to the typed product.
#include "engine/cpu/numeric/ops/matmul.hpp"
#include "engine/cpu/storage/arithmetic_operands.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace pelor::engine::cpu::storage {

Result<Storage> CpuStorage::matmul(const Storage& a, const Storage& b) {
    return with_arithmetic_operands(a, b, []<class T>(const NdArray<T>& x, const NdArray<T>& y) -> Result<Storage> {
        auto r = numeric::ops::MatmulOps<T>::do_matmul(x, y);
        if (!r) return kernel_failure(std::move(r.error()));
        return Storage(std::move(*r));
    });
}

}  // namespace pelor::engine::cpu::storage
