#pragma once
// The core's entry points for moving elements between storages and strided
// buffers owned elsewhere (tensor/buffer.hpp). The copies touch nothing but
// the two buffers, so a caller may run them detached from the interpreter.
#include "base/error.hpp"
#include "tensor/buffer.hpp"
#include "tensor/storage.hpp"

namespace pelor::tensor::core {

using storage::CastEvents;
using storage::DType;
using storage::Narrowed;
using storage::Storage;
using storage::StridedBuffer;

// A new storage with a copy of the elements of `source`, of its type.
Result<Storage> import_buffer(StridedBuffer source);
// The float32 elements of `source` narrowed to F16 or BF16 as NumPy's cast
// does it, with the events the cast reports.
Result<Narrowed> import_narrowed(StridedBuffer source, DType to);

// Whether `s` is exported in column-major order rather than row-major.
bool exports_column_major(const Storage& s);
// The elements of `s` into the dense buffer `dst` of s.size() elements, in
// the order exports_column_major(s) names.
void export_into(const Storage& s, void* dst);

}  // namespace pelor::tensor::core
