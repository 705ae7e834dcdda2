// Matrix product: element-type checks and dispatch to the typed product.
#include "engine/cpu/numeric/ops/matmul.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"
#include "engine/cpu/storage/refusals.hpp"

namespace pelor::engine::cpu::storage {

namespace {

template <class T>
Result<Storage> typed_matmul(const Storage& a, const Storage& b) {
    auto r = numeric::ops::MatmulOps<T>::do_matmul(*a.get_if<T>(), *b.get_if<T>());
    if (!r) return kernel_failure(std::move(r.error()));
    return Storage(std::move(*r));
}

}  // namespace

Result<Storage> CpuStorage::matmul(const Storage& a, const Storage& b) {
    if (a.dtype() == b.dtype()) {
        switch (a.dtype()) {
            case DType::F32: return typed_matmul<float>(a, b);
            case DType::F16: return typed_matmul<F16>(a, b);
            case DType::BF16: return typed_matmul<BF16>(a, b);
            case DType::Bool: break;
        }
        return bool_arithmetic_refused();
    }
    return dtype_mismatch(a.dtype(), b.dtype());
}

}  // namespace pelor::engine::cpu::storage
