#pragma once
// Transposing block copies for the import and export of strided arrays, one
// table per instruction-set level (transpose_kernels.isa.cpp);
// transpose_kernels() picks the table for this processor.
//
// A kernel copies a rows x cols plane whose source is contiguous along the
// rows into a destination that is contiguous along the columns:
//   dst[r * dst_row + c] = element at src + r * element_size + c * col_stride
// (col_stride in bytes, dst_row in elements). It moves square blocks through
// registers, so every cache line it touches is read or written in full. A
// null entry means the level has no such kernel.
#include <cstddef>
#include <cstdint>

#include "engine/cpu/kernel_table.hpp"

namespace pelor::engine::cpu::storage {

struct TransposeKernels {
    using Kernel32 = void (*)(const char* src, std::ptrdiff_t col_stride, std::size_t rows, std::size_t cols,
                              std::uint32_t* dst, std::ptrdiff_t dst_row);
    using Kernel16 = void (*)(const char* src, std::ptrdiff_t col_stride, std::size_t rows, std::size_t cols,
                              std::uint16_t* dst, std::ptrdiff_t dst_row);
    Kernel32 b32;
    Kernel16 b16;
};

}  // namespace pelor::engine::cpu::storage

// transpose_kernels(): the table for the processor we run on (chosen once).
PELOR_KERNEL_TABLE(pelor::engine::cpu::storage, TransposeKernels, transpose_kernels)
