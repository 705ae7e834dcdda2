// Gradient kernels (not built yet)
#include "engine/cpu/storage/cpu_storage.hpp"

namespace pelor::engine::cpu::storage {

namespace {
Error pending() { return Error{ErrorKind::RuntimeError, "not implemented yet"}; }
}  // namespace

Result<StoragePair> CpuStorage::backward_mul(const Storage&, const Storage&, const Storage&) { return std::unexpected(pending()); }
Result<StoragePair> CpuStorage::backward_div(const Storage&, const Storage&, const Storage&) { return std::unexpected(pending()); }
Result<StoragePair> CpuStorage::backward_matmul(const Storage&, const Storage&, const Storage&) { return std::unexpected(pending()); }
Result<Storage> CpuStorage::backward_relu(const Storage&, const Storage&) { return std::unexpected(pending()); }
}  // namespace pelor::engine::cpu::storage
