#pragma once
// CpuStorage: the engine's operations on storages. Each takes its inputs by
// const reference, never changes them, and returns a new storage or an error
// value naming the Python exception class (MemoryError for a result that
// cannot be allocated). The definitions are split by group
// over the files of this folder.
#include <optional>
#include <utility>

#include "base/error.hpp"
#include "engine/cpu/elementwise/op_list.hpp"
#include "engine/cpu/numeric/backward/wanted.hpp"
#include "tensor/buffer.hpp"
#include "tensor/storage.hpp"

namespace pelor::engine::cpu::storage {

using tensor::storage::DType;
using tensor::storage::Narrowed;
using tensor::storage::Storage;
using tensor::storage::StridedBuffer;

// The gradients of a two-operand rule's operands; one not wanted stays empty.
using StoragePair = std::pair<std::optional<Storage>, std::optional<Storage>>;
using numeric::backward::Wanted;

struct CpuStorage {
    // Interchange with buffers owned elsewhere (api.cpp). The copies
    // touch nothing but the two buffers, so they may run detached.
    // A copy of the elements of `source` (Bool: any nonzero byte is true).
    static Result<Storage> import_copy(StridedBuffer source);
    // The float32 elements of `source` narrowed to `to` (F16 or BF16) exactly
    // as NumPy's cast does it, with the events the cast reports.
    static Result<Narrowed> import_narrowed(StridedBuffer source, DType to);
    // Whether `s` is exported in column-major order (its buffer's own order)
    // rather than row-major.
    static bool exports_column_major(const Storage& s);
    // The elements of `s` into the dense buffer `dst`, in the order above.
    static void export_copy(const Storage& s, void* dst);
    static Shape shape(const Storage& s) { return s.shape(); }

    // The element-wise operations of elementwise/op_list.hpp, one function
    // each: arithmetic and comparisons of two storages with broadcasting
    // (numeric.cpp); a storage with one binary32 scalar, the result keeping the
    // input's layout (scalar.cpp); Bool logic (boolean.cpp).
#define PELOR_TWO_STORAGES(name, ...) static Result<Storage> name(const Storage& a, const Storage& b);
#define PELOR_WITH_SCALAR(name, ...) static Result<Storage> name(const Storage& s, float x);
#define PELOR_COMPARE_WITH_SCALAR(name, ...) static Result<Storage> scalar_##name(const Storage& s, float x);
    PELOR_ARITHMETIC(PELOR_TWO_STORAGES)
    PELOR_COMPARISONS(PELOR_TWO_STORAGES)
    PELOR_LOGICAL(PELOR_TWO_STORAGES)
    PELOR_SCALAR_ARITHMETIC(PELOR_WITH_SCALAR)
    PELOR_COMPARISONS(PELOR_COMPARE_WITH_SCALAR)
#undef PELOR_TWO_STORAGES
#undef PELOR_WITH_SCALAR
#undef PELOR_COMPARE_WITH_SCALAR
    static Result<Storage> logical_not(const Storage& s);

    // Batched matrix product in binary32 (matmul.cpp).
    static Result<Storage> matmul(const Storage& a, const Storage& b);

    // Shape and fill (shape.cpp). Reshape and transpose share the input's
    // buffer.
    static Result<Storage> reshape(const Storage& s, const Shape& shape);
    static Result<Storage> transpose(const Storage& s, std::size_t dim0, std::size_t dim1);
    static Result<Storage> zeros_like(const Storage& s);
    static Result<Storage> ones_like(const Storage& s);

    // Undoing broadcasting (sum_to.cpp): the sum of `s` over the axes that
    // broadcasting `shape` to s's shape adds or stretches, in row-major layout
    // (Bool refused like arithmetic); and any storage in row-major layout (a
    // copy, or the same buffer when it already is).
    static Result<Storage> sum_to(const Storage& s, const Shape& shape);
    static Result<Storage> to_row_major(const Storage& s);

    // Rectifier (functional.cpp).
    static Result<Storage> relu(const Storage& s);

    // Gradient kernels (backward.cpp): (gradient of left, gradient of right).
    static Result<StoragePair> backward_mul(const Storage& lhs, const Storage& grad, const Storage& rhs,
                                               Wanted wanted);
    static Result<StoragePair> backward_div(const Storage& lhs, const Storage& grad, const Storage& rhs,
                                               Wanted wanted);
    static Result<StoragePair> backward_matmul(const Storage& lhs, const Storage& grad, const Storage& rhs,
                                               Wanted wanted);
    static Result<Storage> backward_relu(const Storage& input, const Storage& grad);
};

}  // namespace pelor::engine::cpu::storage
