// Logical operations on Bool storages. The element-type test comes before
// any shape test; broadcasting failures become RuntimeErrors unchanged.
#include "engine/cpu/boolean/ops/logical.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace pelor::engine::cpu::storage {

namespace {

namespace ops = boolean::ops;
using elementwise::Logical;

Result<Storage> logical(Logical op, const Storage& a, const Storage& b) {
    const auto* x = a.get_if<bool>();
    const auto* y = b.get_if<bool>();
    if (!x || !y) return runtime_error("Logical operations are only supported for Bool data types.");
    auto r = ops::logical(op, *x, *y);
    if (!r) return kernel_failure(std::move(r.error()));
    return Storage(std::move(*r));
}

}  // namespace

#define PELOR_LOGICAL_FUNCTION(name, ...) \
    Result<Storage> CpuStorage::name(const Storage& a, const Storage& b) { return logical(Logical::name, a, b); }
PELOR_LOGICAL(PELOR_LOGICAL_FUNCTION)
#undef PELOR_LOGICAL_FUNCTION

Result<Storage> CpuStorage::logical_not(const Storage& s) {
    const auto* x = s.get_if<bool>();
    if (!x) return runtime_error("Logical NOT is only supported for Bool data type.");
    auto r = ops::logical_not(*x);
    if (!r) return memory_error(r.error());
    return Storage(std::move(*r));
}

}  // namespace pelor::engine::cpu::storage
