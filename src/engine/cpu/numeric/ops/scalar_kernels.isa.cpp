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

// Element rules. They take binary32 scalars and, for arithmetic, also the
// compiler's vector types (the same operators apply lane-wise).
struct Add {
    template <class V> V operator()(V a, V b) const { return a + b; }
};
struct Sub {
    template <class V> V operator()(V a, V b) const { return a - b; }
};
struct Mul {
    template <class V> V operator()(V a, V b) const { return a * b; }
};
// Ordered, quiet predicates: a NaN on either side gives false.
struct Eq {
    bool operator()(float a, float b) const { return a == b; }
};
struct Ge {
    bool operator()(float a, float b) const { return a >= b; }
};
struct Gt {
    bool operator()(float a, float b) const { return a > b; }
};
struct Le {
    bool operator()(float a, float b) const { return a <= b; }
};
struct Lt {
    bool operator()(float a, float b) const { return a < b; }
};

#if defined(__AVX2__)
// The same predicates for the vector compares.
template <class Cmp> constexpr int predicate = 0;
template <> constexpr int predicate<Eq> = _CMP_EQ_OQ;
template <> constexpr int predicate<Ge> = _CMP_GE_OQ;
template <> constexpr int predicate<Gt> = _CMP_GT_OQ;
template <> constexpr int predicate<Le> = _CMP_LE_OQ;
template <> constexpr int predicate<Lt> = _CMP_LT_OQ;
#endif

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
    auto mask = [&](size_t at) { return __mmask64(_mm512_cmp_ps_mask(In::lanes(in + at), xv, predicate<Cmp>)); };
    for (; i + 64 <= n; i += 64) {
        const __mmask64 m = mask(i) | (mask(i + 16) << 16) | (mask(i + 32) << 32) | (mask(i + 48) << 48);
        _mm512_storeu_si512(out + i, _mm512_maskz_set1_epi8(m, 1));
    }
#elif defined(__AVX2__)
    const __m256 xv = _mm256_set1_ps(x);
    auto bytes = [&](size_t at) -> std::uint64_t {
        const unsigned bits = unsigned(_mm256_movemask_ps(_mm256_cmp_ps(In::lanes(in + at), xv, predicate<Cmp>)));
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

PELOR_KERNEL_TABLE_DEFINE(scalar_kernels) = {
    {f32_arith<Add>, f32_arith<Sub>, f32_arith<Mul>},
    {f16_arith<Add>, f16_arith<Sub>, f16_arith<Mul>},
    {bf16_arith<Add>, bf16_arith<Sub>, bf16_arith<Mul>},
    {compare<F32In, Eq>, compare<F32In, Ge>, compare<F32In, Gt>, compare<F32In, Le>, compare<F32In, Lt>},
    {compare<F16In, Eq>, compare<F16In, Ge>, compare<F16In, Gt>, compare<F16In, Le>, compare<F16In, Lt>},
    {compare<BF16In, Eq>, compare<BF16In, Ge>, compare<BF16In, Gt>, compare<BF16In, Le>, compare<BF16In, Lt>},
};

}  // namespace pelor::isa::PELOR_ISA
