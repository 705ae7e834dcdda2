// The float32 -> 16-bit cast loops at one instruction-set level (compiled
// once per level with PELOR_ISA naming it). The rounding is the engine's own
// (F16Blocks, BF16Blocks); these loops only replace NaN lanes with the casts'
// NaNs and collect the events the casts report. Plain branch-free loops over
// blocks that stay in the first-level cache, so the compiler vectorises them.
#include <algorithm>

#include "engine/cpu/elementwise/isa_loops.hpp"
#include "engine/cpu/numeric/ops/cast_kernels.hpp"

namespace pelor::isa::PELOR_ISA {

namespace {

using engine::cpu::elementwise::BF16Blocks;
using engine::cpu::elementwise::F16Blocks;
using engine::cpu::numeric::ops::cast_invalid;
using engine::cpu::numeric::ops::cast_overflow;
using engine::cpu::numeric::ops::cast_underflow;
using engine::cpu::numeric::ops::CastKernels;
using std::size_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;

constexpr size_t block = 1024;

u32 bits_of(float f) { return __builtin_bit_cast(u32, f); }

// NaN lanes and events of one block already rounded by F16Blocks::narrow.
unsigned f16_fix_block(const float* __restrict in, u16* __restrict out, size_t n) {
    u32 overflow = 0, underflow = 0;
    for (size_t i = 0; i < n; ++i) {
        const u32 x = bits_of(in[i]);
        const u32 ax = x & 0x7FFFFFFFu;
        const u32 payload = (ax >> 13) & 0x3FFu;
        const u32 nan_bits = ((x >> 16) & 0x8000u) | 0x7C00u | payload | u32(payload == 0);
        out[i] = ax > 0x7F800000u ? u16(nan_bits) : out[i];
        // Finite values from 65520 up round to infinity.
        overflow |= u32(ax >= 0x477FF000u) & u32(ax < 0x7F800000u);
        // Below the smallest normal binary16, a value underflows unless the
        // bits it loses are all zero: with the implicit bit, the significand
        // loses 126 - exponent of its 24 bits (all of them from 24 on).
        const u32 shift = 126u - (ax >> 23);
        const u32 significand = (ax & 0x7FFFFFu) | 0x800000u;
        const u32 lost = shift >= 24u ? 1u : significand << (32u - shift);
        underflow |= u32(ax - 1u < 0x38800000u - 1u) & u32(lost != 0);
    }
    return (overflow ? unsigned(cast_overflow) : 0u) | (underflow ? unsigned(cast_underflow) : 0u);
}

unsigned f32_to_f16(const float* in, u16* out, size_t n) {
    unsigned events = 0;
    for (size_t i = 0; i < n; i += block) {
        const size_t m = std::min(block, n - i);
        F16Blocks::narrow(in + i, out + i, m);
        events |= f16_fix_block(in + i, out + i, m);
    }
    return events;
}

unsigned f32_to_bf16(const float* __restrict in, u16* __restrict out, size_t n) {
    u32 signalling = 0;
    for (size_t i = 0; i < n; ++i) {
        const u32 x = bits_of(in[i]);
        const u32 ax = x & 0x7FFFFFFFu;
        const u32 nan = u32(ax > 0x7F800000u);
        out[i] = nan ? u16(((x >> 16) & 0x8000u) | 0x7FC0u) : BF16Blocks::narrow1(in[i]);
        signalling |= nan & u32((x & 0x400000u) == 0);
    }
    return signalling ? unsigned(cast_invalid) : 0u;
}

}  // namespace

extern const CastKernels cast_kernels = {f32_to_f16, f32_to_bf16};

}  // namespace pelor::isa::PELOR_ISA
