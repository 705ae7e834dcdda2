#pragma once
// Narrowing of binary32 data to the 16-bit types as NumPy's casts do it, for
// importing float32 arrays: one table per instruction-set level
// (cast_kernels.isa.cpp); cast_kernels() picks the table for this processor.
//
// Both round to nearest even and overflow to infinity; they differ from the
// engine's arithmetic narrowing only in NaNs, where they follow the casts:
// - binary16 keeps a NaN's sign and upper ten payload bits without quieting
//   it, and a payload that truncates to zero becomes 1 (still a NaN);
// - bfloat16 writes the canonical NaN 0x7FC0 with the NaN's sign.
// Each kernel returns the cast events that NumPy reports (CastEvent bits), so
// the caller can warn or raise exactly where the cast itself would.
#include <cstddef>
#include <cstdint>

#include "engine/cpu/kernel_table.hpp"

namespace pelor::engine::cpu::numeric::ops {

enum CastEvent : unsigned {
    cast_overflow = 1,   // binary16: a finite value rounded to infinity
    cast_underflow = 2,  // binary16: a value below the normal range that is not exact
    cast_invalid = 4,    // a signalling NaN: bfloat16, and binary16 on aarch64
};

struct CastKernels {
    unsigned (*f32_to_f16)(const float* in, std::uint16_t* out, std::size_t n);
    unsigned (*f32_to_bf16)(const float* in, std::uint16_t* out, std::size_t n);
};

}  // namespace pelor::engine::cpu::numeric::ops

// cast_kernels(): the table for the processor we run on (chosen once).
PELOR_KERNEL_TABLE_EVERY_LEVEL(pelor::engine::cpu::numeric::ops, CastKernels, cast_kernels)
