#include "tensor/core_interchange.hpp"

#include "engine/cpu/storage/cpu_storage.hpp"

namespace pelor::tensor::core {

using engine::cpu::storage::CpuStorage;

Result<Storage> import_buffer(StridedBuffer source) { return CpuStorage::import_copy(std::move(source)); }

Result<Narrowed> import_narrowed(StridedBuffer source, DType to) {
    return CpuStorage::import_narrowed(std::move(source), to);
}

bool exports_column_major(const Storage& s) { return CpuStorage::exports_column_major(s); }

void export_into(const Storage& s, void* dst) { CpuStorage::export_copy(s, dst); }

}  // namespace pelor::tensor::core
