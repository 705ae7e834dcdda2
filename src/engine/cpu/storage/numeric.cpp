// Element-wise arithmetic and comparisons (not built yet)
#include "engine/cpu/storage/cpu_storage.hpp"

namespace pelor::engine::cpu::storage {

namespace {
Error pending() { return Error{ErrorKind::RuntimeError, "not implemented yet"}; }
}  // namespace

Result<Storage> CpuStorage::add(const Storage&, const Storage&) { return std::unexpected(pending()); }
Result<Storage> CpuStorage::sub(const Storage&, const Storage&) { return std::unexpected(pending()); }
Result<Storage> CpuStorage::mul(const Storage&, const Storage&) { return std::unexpected(pending()); }
Result<Storage> CpuStorage::div(const Storage&, const Storage&) { return std::unexpected(pending()); }
Result<Storage> CpuStorage::eq(const Storage&, const Storage&) { return std::unexpected(pending()); }
Result<Storage> CpuStorage::ge(const Storage&, const Storage&) { return std::unexpected(pending()); }
Result<Storage> CpuStorage::gt(const Storage&, const Storage&) { return std::unexpected(pending()); }
Result<Storage> CpuStorage::le(const Storage&, const Storage&) { return std::unexpected(pending()); }
Result<Storage> CpuStorage::lt(const Storage&, const Storage&) { return std::unexpected(pending()); }
}  // namespace pelor::engine::cpu::storage
