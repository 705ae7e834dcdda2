// Rectifier (not built yet)
#include "engine/cpu/storage/cpu_storage.hpp"

namespace pelor::engine::cpu::storage {

namespace {
Error pending() { return Error{ErrorKind::RuntimeError, "not implemented yet"}; }
}  // namespace

Result<Storage> CpuStorage::relu(const Storage&) { return std::unexpected(pending()); }
}  // namespace pelor::engine::cpu::storage
