// Logical operations (not built yet)
#include "engine/cpu/storage/cpu_storage.hpp"

namespace pelor::engine::cpu::storage {

namespace {
Error pending() { return Error{ErrorKind::RuntimeError, "not implemented yet"}; }
}  // namespace

Result<Storage> CpuStorage::logical_and(const Storage&, const Storage&) { return std::unexpected(pending()); }
Result<Storage> CpuStorage::logical_or(const Storage&, const Storage&) { return std::unexpected(pending()); }
Result<Storage> CpuStorage::logical_xor(const Storage&, const Storage&) { return std::unexpected(pending()); }
Result<Storage> CpuStorage::logical_not(const Storage&) { return std::unexpected(pending()); }
}  // namespace pelor::engine::cpu::storage
