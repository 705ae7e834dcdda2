// Interchange with strided buffers owned elsewhere: import one into a new
// storage (a copy, or float32 narrowed to a 16-bit type), export a storage
// into a dense buffer. Contiguous data moves in single block copies; strided
// data in logical order, planes that run down the rows through the
// transposing kernels or in tiles.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "engine/cpu/numeric/ops/cast_kernels.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"
#include "engine/cpu/storage/logical_copy.hpp"
#include "engine/cpu/storage/transpose_kernels.hpp"

namespace pelor::engine::cpu::storage {

namespace {

// Moves n elements of T, byte_stride apart in the source, to dst[0..n).
template <class T>
void copy_run(const char* src, std::ptrdiff_t byte_stride, std::ptrdiff_t n, T* dst) {
    if (byte_stride == std::ptrdiff_t(sizeof(T))) {
        std::memcpy(dst, src, std::size_t(n) * sizeof(T));
        return;
    }
    for (std::ptrdiff_t i = 0; i < n; ++i) std::memcpy(dst + i, src + i * byte_stride, sizeof(T));
}

// copy_logical for a plain copy: planes whose source runs along the rows go
// through the transposing kernels where the element size has one.
template <class T>
void copy_in_logical_order(const char* src, ShapeSpan shape, StridesSpan byte_strides, T* dst) {
    const auto plane = [](const char* s, std::ptrdiff_t rs, std::ptrdiff_t cs, std::ptrdiff_t rows,
                          std::ptrdiff_t cols, T* d, std::ptrdiff_t rd) {
        if constexpr (sizeof(T) == 4) {
            if (const auto kernel = transpose_kernels().b32; kernel && rs == 4)
                return kernel(s, cs, std::size_t(rows), std::size_t(cols), reinterpret_cast<std::uint32_t*>(d), rd);
        } else if constexpr (sizeof(T) == 2) {
            if (const auto kernel = transpose_kernels().b16; kernel && rs == 2)
                return kernel(s, cs, std::size_t(rows), std::size_t(cols), reinterpret_cast<std::uint16_t*>(d), rd);
        }
        auto run = copy_run<T>;
        plane_in_tiles(s, rs, cs, rows, cols, d, rd, run);
    };
    copy_logical(src, shape, byte_strides, dst, copy_run<T>, plane);
}

// The source's byte strides, one per axis of `shape`.
StridesSpan byte_strides_of(const StridedBuffer& src, ShapeSpan shape) {
    return StridesSpan(src.byte_strides).first(shape.size());
}

// A source buffer of the given shape read in logical order.
template <class T>
void copy_strided(const StridedBuffer& src, ShapeSpan shape, T* dst) {
    copy_in_logical_order(static_cast<const char*>(src.data), shape, byte_strides_of(src, shape), dst);
}

// NumPy reads any nonzero byte as true (a uint8 array viewed as bool keeps
// its bytes); a Bool element must hold exactly 0 or 1.
void copy_bool_bytes(const unsigned char* __restrict src, unsigned char* __restrict dst, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[i] != 0;
}

template <class T>
Result<Storage> import_elements(StridedBuffer& src) {
    auto allocated = NdArray<T>::allocate(std::move(src.shape));
    if (!allocated) return memory_error(allocated.error());
    NdArray<T>& out = *allocated;
    T* dst = out.data();
    const std::size_t n = out.size();
    if (src.contiguous) {
        if constexpr (std::is_same_v<T, bool>) {
            copy_bool_bytes(static_cast<const unsigned char*>(src.data), reinterpret_cast<unsigned char*>(dst), n);
        } else if (n) {
            std::memcpy(dst, src.data, n * sizeof(T));
        }
    } else {
        copy_strided(src, out.shape(), dst);
        if constexpr (std::is_same_v<T, bool>) {
            auto* bytes = reinterpret_cast<unsigned char*>(dst);
            for (std::size_t i = 0; i < n; ++i) bytes[i] = bytes[i] != 0;
        }
    }
    return Storage(std::move(out));
}

// Narrows the float32 elements of `source` into dst[0..count) in logical
// order with `kernel`; returns the cast events seen.
using NarrowKernel = decltype(numeric::ops::CastKernels::f32_to_f16);
unsigned narrow_elements(const StridedBuffer& source, ShapeSpan shape, NarrowKernel kernel, std::uint16_t* dst,
                         std::size_t count) {
    if (source.contiguous) return count ? kernel(static_cast<const float*>(source.data), dst, count) : 0;
    unsigned events = 0;
    // Strided runs are gathered into a small block first.
    const auto run = [&](const char* s, std::ptrdiff_t stride, std::ptrdiff_t n, std::uint16_t* d) {
        if (stride == std::ptrdiff_t(sizeof(float))) {
            events |= kernel(reinterpret_cast<const float*>(s), d, std::size_t(n));
            return;
        }
        constexpr std::ptrdiff_t block = 256;
        alignas(64) float gathered[block];
        for (std::ptrdiff_t i0 = 0; i0 < n; i0 += block) {
            const std::ptrdiff_t m = std::min(block, n - i0);
            copy_run(s + i0 * stride, stride, m, gathered);
            events |= kernel(gathered, d + i0, std::size_t(m));
        }
    };
    // A plane whose source runs down the rows is transposed a block at a
    // time into binary32 rows, which are then narrowed.
    const auto plane = [&](const char* s, std::ptrdiff_t rs, std::ptrdiff_t cs, std::ptrdiff_t rows,
                           std::ptrdiff_t cols, std::uint16_t* d, std::ptrdiff_t rd) {
        const auto transpose = transpose_kernels().b32;
        if (!transpose || rs != std::ptrdiff_t(sizeof(float))) return plane_in_tiles(s, rs, cs, rows, cols, d, rd, run);
        constexpr std::ptrdiff_t block_rows = 16, block_cols = 256;
        alignas(64) std::uint32_t block[block_rows * block_cols];
        for (std::ptrdiff_t r0 = 0; r0 < rows; r0 += block_rows) {
            const std::ptrdiff_t m = std::min(block_rows, rows - r0);
            for (std::ptrdiff_t c0 = 0; c0 < cols; c0 += block_cols) {
                const std::ptrdiff_t k = std::min(block_cols, cols - c0);
                transpose(s + r0 * rs + c0 * cs, cs, std::size_t(m), std::size_t(k), block, block_cols);
                for (std::ptrdiff_t r = 0; r < m; ++r)
                    events |= kernel(reinterpret_cast<const float*>(block + r * block_cols), d + (r0 + r) * rd + c0,
                                     std::size_t(k));
            }
        }
    };
    copy_logical(static_cast<const char*>(source.data), shape, byte_strides_of(source, shape), dst, run, plane);
    return events;
}

tensor::storage::CastEvents events_of(unsigned bits) {
    using namespace numeric::ops;
    return {.overflow = (bits & cast_overflow) != 0,
            .underflow = (bits & cast_underflow) != 0,
            .invalid = (bits & cast_invalid) != 0};
}

template <class T>
Result<Narrowed> narrow_into(StridedBuffer& source) {
    const auto& kernels = numeric::ops::cast_kernels();
    const auto kernel = std::is_same_v<T, F16> ? kernels.f32_to_f16 : kernels.f32_to_bf16;
    auto allocated = NdArray<T>::allocate(std::move(source.shape));
    if (!allocated) return memory_error(allocated.error());
    const unsigned events = narrow_elements(source, allocated->shape(), kernel,
                                            reinterpret_cast<std::uint16_t*>(allocated->data()), allocated->size());
    return Narrowed{Storage(std::move(*allocated)), events_of(events)};
}

// Row-major and column-major storages are exported in their buffer's order,
// with one block copy; any other layout is copied into row-major order.
enum class ExportOrder { RowMajorBlock, ColumnMajorBlock, RowMajorWalk };

template <class T>
ExportOrder export_order(const NdArray<T>& a) {
    if (a.is_standard_layout()) return ExportOrder::RowMajorBlock;
    if (a.ndim() > 1 && a.is_column_major_layout()) return ExportOrder::ColumnMajorBlock;
    return ExportOrder::RowMajorWalk;
}

}  // namespace

Result<Storage> CpuStorage::import_copy(StridedBuffer source) {
    switch (source.dtype) {
        case DType::F16: return import_elements<F16>(source);
        case DType::BF16: return import_elements<BF16>(source);
        case DType::F32: return import_elements<float>(source);
        case DType::Bool: return import_elements<bool>(source);
    }
    std::unreachable();
}

Result<Narrowed> CpuStorage::import_narrowed(StridedBuffer source, DType to) {
    return to == DType::BF16 ? narrow_into<BF16>(source) : narrow_into<F16>(source);
}

bool CpuStorage::exports_column_major(const Storage& s) {
    return s.visit([](const auto& a) { return export_order(a) == ExportOrder::ColumnMajorBlock; });
}

void CpuStorage::export_copy(const Storage& s, void* dst) {
    s.visit([&](const auto& a) {
        using T = typename std::decay_t<decltype(a)>::value_type;
        if (export_order(a) != ExportOrder::RowMajorWalk) {
            if (a.size()) std::memcpy(dst, a.data(), a.size() * sizeof(T));
            return;
        }
        Strides byte_strides(a.strides());
        for (auto& s : byte_strides) s *= std::ptrdiff_t(sizeof(T));
        copy_in_logical_order(reinterpret_cast<const char*>(a.data()), ShapeSpan(a.shape()), StridesSpan(byte_strides),
                              static_cast<T*>(dst));
    });
}

}  // namespace pelor::engine::cpu::storage
