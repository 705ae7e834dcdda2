// Scalar operations (not built yet)
#include "engine/cpu/storage/cpu_storage.hpp"

namespace pelor::engine::cpu::storage {

namespace {
Error pending() { return Error{ErrorKind::RuntimeError, "not implemented yet"}; }
}  // namespace

Result<Storage> CpuStorage::scalar_add(const Storage&, float) { return std::unexpected(pending()); }
Result<Storage> CpuStorage::scalar_sub(const Storage&, float) { return std::unexpected(pending()); }
Result<Storage> CpuStorage::scalar_mul(const Storage&, float) { return std::unexpected(pending()); }
Result<Storage> CpuStorage::scalar_eq(const Storage&, float) { return std::unexpected(pending()); }
Result<Storage> CpuStorage::scalar_ge(const Storage&, float) { return std::unexpected(pending()); }
Result<Storage> CpuStorage::scalar_gt(const Storage&, float) { return std::unexpected(pending()); }
Result<Storage> CpuStorage::scalar_le(const Storage&, float) { return std::unexpected(pending()); }
Result<Storage> CpuStorage::scalar_lt(const Storage&, float) { return std::unexpected(pending()); }
}  // namespace pelor::engine::cpu::storage
