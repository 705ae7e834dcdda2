// The scalar-operation loops at one instruction-set level. This file is
// compiled once per level with PELOR_ISA naming it. Everything here has
// internal linkage or lives in pelor::isa::<level>, and the wider levels use
// intrinsics rather than shared inline helpers, so no function compiled for a
// wide level can be picked by the linker for baseline code.
//
// binary32 and bfloat16 arithmetic are plain loops that the compiler
// vectorises at each level. binary16 needs conversions the vectoriser does not
// produce: at the AVX2 level (which always has F16C) and above they are done
// 8 or 16 lanes at a time (VCVTPH2PS widens exactly, VCVTPS2PH narrows to
// nearest even), and the scalar forms of the same instructions do the tail.
// These round exactly as F16::from_float does at the baseline level, NaNs
// included (a quiet NaN keeps its sign and upper payload bits), so results do
// not depend on the level. Comparisons use vector compares into masks at the
// vector levels so that the bool bytes are stored 32 or 64 at a time.
// On aarch64 the baseline converts binary16 with the Armv8-A instructions
// (FCVT), which round the same way.
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstring>

#include "engine/cpu/elementwise/half_conversions.hpp"
#include "engine/cpu/elementwise/rules.hpp"
#include "engine/cpu/numeric/ops/scalar_kernels.hpp"

namespace pelor::isa::PELOR_ISA {

namespace {

using engine::cpu::elementwise::bf16_narrow;
using engine::cpu::elementwise::bf16_widen;
using engine::cpu::elementwise::f16_narrow;
using engine::cpu::elementwise::f16_widen;
using std::size_t;
using u8 = std::uint8_t;
using u16 = std::uint16_t;
using namespace engine::cpu::elementwise;  // the element rules

// ---- binary32 ---------------------------------------------------------------

template <class Op>
void f32_arith(const float* __restrict in, float x, float* __restrict out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = Op{}(in[i], x);
}

// ---- bfloat16 ---------------------------------------------------------------

template <class Op>
void bf16_arith(const u16* __restrict in, float x, u16* __restrict out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = bf16_narrow(Op{}(bf16_widen(in[i]), x));
}

// ---- binary16 ---------------------------------------------------------------

#if defined(__AVX512F__)

template <class Op>
void f16_arith(const u16* __restrict in, float x, u16* __restrict out, size_t n) {
    const __m512 xv = _mm512_set1_ps(x);
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m512 v = _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                            _mm512_cvtps_ph(Op{}(v, xv), _MM_FROUND_TO_NEAREST_INT));
    }
    for (; i < n; ++i) out[i] = f16_narrow(Op{}(f16_widen(in[i]), x));
}

#elif defined(__AVX2__)

template <class Op>
void f16_arith(const u16* __restrict in, float x, u16* __restrict out, size_t n) {
    const __m256 xv = _mm256_set1_ps(x);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256 v = _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm256_cvtps_ph(Op{}(v, xv), _MM_FROUND_TO_NEAREST_INT));
    }
    for (; i < n; ++i) out[i] = f16_narrow(Op{}(f16_widen(in[i]), x));
}

#else

template <class Op>
void f16_arith(const u16* __restrict in, float x, u16* __restrict out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = f16_narrow(Op{}(f16_widen(in[i]), x));
}

#endif

// ---- comparisons ------------------------------------------------------------

// How a comparison loop reads each element type as binary32: one at a time,
// and at the vector levels a whole register at a time.
struct F32In {
    using E = float;
    static float one(E v) { return v; }
#if defined(__AVX512F__)
    static __m512 lanes(const E* p) { return _mm512_loadu_ps(p); }
#elif defined(__AVX2__)
    static __m256 lanes(const E* p) { return _mm256_loadu_ps(p); }
#endif
};
struct F16In {
    using E = u16;
    static float one(E v) { return f16_widen(v); }
#if defined(__AVX512F__)
    static __m512 lanes(const E* p) { return _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))); }
#elif defined(__AVX2__)
    static __m256 lanes(const E* p) { return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); }
#endif
};
struct BF16In {
    using E = u16;
    static float one(E v) { return bf16_widen(v); }
#if defined(__AVX512F__)
    static __m512 lanes(const E* p) {
        __m512i w = _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
        return _mm512_castsi512_ps(_mm512_slli_epi32(w, 16));
    }
#elif defined(__AVX2__)
    static __m256 lanes(const E* p) {
        __m256i w = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        return _mm256_castsi256_ps(_mm256_slli_epi32(w, 16));
    }
#endif
};

// Bytes are written 64 (AVX-512: four 16-lane masks make one byte mask) or 32
// (AVX2: four 8-lane sign masks spread to bytes with PDEP) at a time.
template <class In, class Cmp>
void compare(const typename In::E* __restrict in, float x, u8* __restrict out, size_t n) {
    size_t i = 0;
#if defined(__AVX512F__)
    const __m512 xv = _mm512_set1_ps(x);
    auto mask = [&](size_t at) { return __mmask64(_mm512_cmp_ps_mask(In::lanes(in + at), xv, Cmp::predicate)); };
    for (; i + 64 <= n; i += 64) {
        const __mmask64 m = mask(i) | (mask(i + 16) << 16) | (mask(i + 32) << 32) | (mask(i + 48) << 48);
        _mm512_storeu_si512(out + i, _mm512_maskz_set1_epi8(m, 1));
    }
#elif defined(__AVX2__)
    const __m256 xv = _mm256_set1_ps(x);
    auto bytes = [&](size_t at) -> std::uint64_t {
        const unsigned bits = unsigned(_mm256_movemask_ps(_mm256_cmp_ps(In::lanes(in + at), xv, Cmp::predicate)));
        return _pdep_u64(bits, 0x0101010101010101ull);
    };
    for (; i + 32 <= n; i += 32) {
        const std::uint64_t b[4] = {bytes(i), bytes(i + 8), bytes(i + 16), bytes(i + 24)};
        std::memcpy(out + i, b, sizeof b);
    }
#endif
    for (; i < n; ++i) out[i] = Cmp{}(In::one(in[i]), x);
}

}  // namespace

// One row per operation of op_list.hpp, in its order.
#define PELOR_F32_ARITH(name, Rule, ...) f32_arith<Rule>,
#define PELOR_F16_ARITH(name, Rule, ...) f16_arith<Rule>,
#define PELOR_BF16_ARITH(name, Rule, ...) bf16_arith<Rule>,
#define PELOR_F32_COMPARE(name, Rule, ...) compare<F32In, Rule>,
#define PELOR_F16_COMPARE(name, Rule, ...) compare<F16In, Rule>,
#define PELOR_BF16_COMPARE(name, Rule, ...) compare<BF16In, Rule>,
PELOR_KERNEL_TABLE_DEFINE(scalar_kernels) = {
    {PELOR_SCALAR_ARITHMETIC(PELOR_F32_ARITH)},  {PELOR_SCALAR_ARITHMETIC(PELOR_F16_ARITH)},
    {PELOR_SCALAR_ARITHMETIC(PELOR_BF16_ARITH)}, {PELOR_COMPARISONS(PELOR_F32_COMPARE)},
    {PELOR_COMPARISONS(PELOR_F16_COMPARE)},      {PELOR_COMPARISONS(PELOR_BF16_COMPARE)},
};

}  // namespace pelor::isa::PELOR_ISA
