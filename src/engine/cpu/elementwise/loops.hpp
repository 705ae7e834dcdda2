#pragma once
// The one inner-loop layer of the element-wise kernels, for *.isa.cpp files.
// Everything here has internal linkage, so each instruction-set level keeps
// its own copy and the linker can never hand a wide level's code to a
// baseline caller.
//
// run(r, rule) applies an element rule to one run (run.hpp) with the engine's
// three paths (map_run.hpp): every input contiguous; one input broadcast
// (stride 0) and the rest contiguous; generic strides. A flat map over a dense
// buffer is a run too (stride 1, and stride 0 for a number combined with
// every element).
// loop<Rule> is run() as a kernel-table entry.
//
// A rule takes one value per input and returns one output value (or an array
// of M). Bool is read and written as bytes 0 and 1. Inputs of binary16 and
// bfloat16 reach a rule widened exactly to binary32, and a 16-bit result is
// narrowed once to nearest even; a rule that declares
// `static constexpr bool on_bits = true` gets the 16-bit values themselves.
// Two routes exist only for speed and give the same bits as the plain paths:
// - 16-bit arithmetic of two operands, each contiguous or broadcast, runs
//   fused (widened, computed and narrowed in registers) instead of through
//   blocks of binary32;
// - comparisons (rules with a vector `predicate`) of two operands, each
//   contiguous or broadcast, compare whole registers at AVX2 and above and
//   store the bytes 32 or 64 at a time.
//
// sum(r) adds a reduction's run (SumRun) into its binary64 sums; sum<In> is
// its kernel-table entry.
#ifndef PELOR_ISA
#error "loops.hpp belongs to *.isa.cpp files"
#endif

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "base/half.hpp"
#include "engine/cpu/elementwise/half_conversions.hpp"
#include "engine/cpu/elementwise/map_run.hpp"
#include "engine/cpu/elementwise/run.hpp"

#define PELOR_ALWAYS_INLINE [[gnu::always_inline]] inline

namespace pelor::engine::cpu::elementwise {
namespace {

namespace loops {

using std::ptrdiff_t;
using std::size_t;
using u8 = std::uint8_t;
using u16 = std::uint16_t;

// Elements per block of a 16-bit operand widened to binary32.
inline constexpr size_t half_block = 512;

template <class T> struct StoredAs { using type = T; };
template <> struct StoredAs<bool> { using type = u8; };
template <class T> using Stored = typename StoredAs<T>::type;

template <class T> constexpr bool is_half = std::is_same_v<T, F16> || std::is_same_v<T, BF16>;

template <class Rule> concept OnBits = requires { requires Rule::on_bits; };
template <class Rule> concept Predicate = requires { Rule::predicate; };

template <class T> struct ConvOf;
template <> struct ConvOf<F16> { using type = F16Blocks; };
template <> struct ConvOf<BF16> { using type = BF16Blocks; };

template <class In, std::size_t N, class Out, std::size_t M>
Run<Stored<In>, N, Stored<Out>, M> as_stored(const Run<In, N, Out, M>& r) {
    Run<Stored<In>, N, Stored<Out>, M> s;
    for (size_t k = 0; k < N; ++k) s.in[k] = reinterpret_cast<const Stored<In>*>(r.in[k]);
    for (size_t j = 0; j < M; ++j) s.out[j] = reinterpret_cast<Stored<Out>*>(r.out[j]);
    s.stride = r.stride;
    s.count = r.count;
    return s;
}

// ---- comparisons into bytes ----------------------------------------------------

#if defined(__AVX2__)
// How a comparison reads each element type as binary32, a register at a time.
template <class T> struct Lanes;
template <> struct Lanes<float> {
#if defined(__AVX512F__)
    static __m512 load(const float* p) { return _mm512_loadu_ps(p); }
#else
    static __m256 load(const float* p) { return _mm256_loadu_ps(p); }
#endif
    static float one(float v) { return v; }
};
template <> struct Lanes<F16> {
#if defined(__AVX512F__)
    static __m512 load(const F16* p) { return _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))); }
#else
    static __m256 load(const F16* p) { return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); }
#endif
    static float one(F16 v) { return F16Blocks::widen1(v.bits); }
};
// Comparisons see only whether a value is a NaN, so the quiet bit is not set.
template <> struct Lanes<BF16> {
#if defined(__AVX512F__)
    static __m512 load(const BF16* p) {
        const __m512i w = _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
        return _mm512_castsi512_ps(_mm512_slli_epi32(w, 16));
    }
#else
    static __m256 load(const BF16* p) {
        const __m256i w = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        return _mm256_castsi256_ps(_mm256_slli_epi32(w, 16));
    }
#endif
    static float one(BF16 v) { return BF16Blocks::widen1(v.bits); }
};

// A and B: whether that operand is contiguous (else broadcast). Bytes are
// written 64 (AVX-512: four 16-lane masks make one byte mask) or 32 (AVX2:
// four 8-lane sign masks spread to bytes with PDEP) at a time.
template <bool A, bool B, class Rule, class T>
void compare_bytes(const T* __restrict a, const T* __restrict b, u8* __restrict out, size_t n) {
    using L = Lanes<T>;
    size_t i = 0;
#if defined(__AVX512F__)
    const __m512 xa = A ? __m512() : _mm512_set1_ps(L::one(*a));
    const __m512 xb = B ? __m512() : _mm512_set1_ps(L::one(*b));
    auto mask = [&](size_t at) {
        return __mmask64(_mm512_cmp_ps_mask(A ? L::load(a + at) : xa, B ? L::load(b + at) : xb, Rule::predicate));
    };
    for (; i + 64 <= n; i += 64) {
        const __mmask64 m = mask(i) | (mask(i + 16) << 16) | (mask(i + 32) << 32) | (mask(i + 48) << 48);
        _mm512_storeu_si512(out + i, _mm512_maskz_set1_epi8(m, 1));
    }
#else
    const __m256 xa = A ? __m256() : _mm256_set1_ps(L::one(*a));
    const __m256 xb = B ? __m256() : _mm256_set1_ps(L::one(*b));
    auto bytes = [&](size_t at) -> std::uint64_t {
        const __m256 c = _mm256_cmp_ps(A ? L::load(a + at) : xa, B ? L::load(b + at) : xb, Rule::predicate);
        return _pdep_u64(unsigned(_mm256_movemask_ps(c)), 0x0101010101010101ull);
    };
    for (; i + 32 <= n; i += 32) {
        const std::uint64_t w[4] = {bytes(i), bytes(i + 8), bytes(i + 16), bytes(i + 24)};
        std::memcpy(out + i, w, sizeof w);
    }
#endif
    const float sa = L::one(*a), sb = L::one(*b);
    Rule rule;
    for (; i < n; ++i) out[i] = rule(A ? L::one(a[i]) : sa, B ? L::one(b[i]) : sb);
}

// True when it ran: both operands contiguous or one of them broadcast.
template <class Rule, class T, class Out>
bool compare_route(const Run<T, 2, Out, 1>& r) {
    const auto [sa, sb] = r.stride;
    u8* out = reinterpret_cast<u8*>(r.out[0]);
    if (sa == 1 && sb == 1) compare_bytes<true, true, Rule>(r.in[0], r.in[1], out, r.count);
    else if (sa == 1 && sb == 0) compare_bytes<true, false, Rule>(r.in[0], r.in[1], out, r.count);
    else if (sa == 0 && sb == 1) compare_bytes<false, true, Rule>(r.in[0], r.in[1], out, r.count);
    else return false;
    return true;
}
#endif

// ---- 16-bit types in binary32 ----------------------------------------------------

// b, or a when a is a NaN, so that rule(a, second(a, b)) gives a's NaN
// (quieted) when both operands are NaNs. The hardware passes on the first of
// two NaN operands, but the compiler may swap the operands of + and * (they
// commute), and it does so in the block loop below at some levels and not at
// others; with the same NaN on both sides the order no longer matters.
// (Elsewhere the code keeps the order at every level: tests/cpp/
// kernel_levels.cpp checks it with NaN operands on both sides.)
PELOR_ALWAYS_INLINE float second(float a, float b) { return a != a ? a : b; }

// A contiguous or gathered block of one operand, widened.
template <class Conv>
void widen_block(const u16* src, ptrdiff_t stride, float* dst, size_t m) {
    if (stride == 1) return Conv::widen(src, dst, m);
    alignas(64) u16 gathered[half_block];
    for (size_t i = 0; i < m; ++i) gathered[i] = src[ptrdiff_t(i) * stride];
    Conv::widen(gathered, dst, m);
}

// Two operands, each contiguous or broadcast, one 16-bit result: fused, a
// broadcast operand widened once and kept in a register. True when it ran.
template <class Conv, class In, class Rule>
bool fused_route(const Run<In, 2, In, 1>& r, Rule& rule) {
    const auto [sa, sb] = r.stride;
    const u16* a = reinterpret_cast<const u16*>(r.in[0]);
    const u16* b = reinterpret_cast<const u16*>(r.in[1]);
    u16* out = reinterpret_cast<u16*>(r.out[0]);
    if (sa == 1 && sb == 1) {
        Conv::fused(a, b, out, r.count, rule);
        return true;
    }
    if (!((sa == 1 && sb == 0) || (sa == 0 && sb == 1))) return false;
    if constexpr (std::is_same_v<Conv, BF16Blocks>) {
        // Integer conversions: the plain loop vectorises, and runs faster here
        // than the fused blocks. Like those it widens without quieting, as the
        // arithmetic quiets a NaN operand anyway.
        map_run(Run<u16, 2, u16, 1>{{a, b}, r.stride, {out}, r.count},
                [&](u16 x, u16 y) { return Conv::narrow1(rule(bf16_widen(x), bf16_widen(y))); });
    } else if (sa == 0) {
        Conv::template fused_broadcast<true>(b, Conv::widen1(*a), out, r.count, rule);
    } else {
        Conv::template fused_broadcast<false>(a, Conv::widen1(*b), out, r.count, rule);
    }
    return true;
}

// Blocks of every operand widened to binary32 (a broadcast one widened once
// and repeated), the rule mapped over them, 16-bit outputs narrowed once.
// Every operand is read from memory in the same way, so the compiler keeps
// the rule's operand order: with two NaN operands, the hardware passes on the
// first one, at every level alike.
template <class In, std::size_t N, class Out, std::size_t M, class Rule>
void in_binary32(const Run<In, N, Out, M>& r, Rule& rule) {
    using Conv = typename ConvOf<In>::type;
    constexpr bool narrowed = is_half<Out>;
    using Result = std::conditional_t<narrowed, float, u8>;
    if constexpr (N == 2 && M == 1 && narrowed) {
        if (fused_route<Conv>(r, rule)) return;
    }
#if defined(__AVX2__)
    if constexpr (N == 2 && M == 1 && !narrowed && Predicate<Rule>) {
        if (compare_route<Rule>(r)) return;
    }
#endif
    alignas(64) float in[N][half_block];
    alignas(64) float results[narrowed ? M : 1][half_block];
    Run<float, N, Result, M> block;
    for (size_t k = 0; k < N; ++k) {
        block.in[k] = in[k];
        block.stride[k] = 1;
        if (r.stride[k] == 0) std::fill_n(in[k], std::min(half_block, r.count), Conv::widen1(r.in[k]->bits));
    }
    for (size_t i0 = 0; i0 < r.count; i0 += half_block) {
        const size_t m = std::min(half_block, r.count - i0);
        for (size_t k = 0; k < N; ++k)
            if (r.stride[k] != 0)
                widen_block<Conv>(reinterpret_cast<const u16*>(r.in[k] + ptrdiff_t(i0) * r.stride[k]), r.stride[k],
                                  in[k], m);
        for (size_t j = 0; j < M; ++j) {
            if constexpr (narrowed) block.out[j] = results[j];
            else block.out[j] = reinterpret_cast<u8*>(r.out[j]) + i0;
        }
        block.count = m;
        if constexpr (N == 2 && narrowed) map_run(block, [&](float a, float b) { return rule(a, second(a, b)); });
        else map_run(block, rule);
        if constexpr (narrowed)
            for (size_t j = 0; j < M; ++j) Conv::narrow(results[j], reinterpret_cast<u16*>(r.out[j]) + i0, m);
    }
}

// ---- sums into binary64 -----------------------------------------------------------

// Elements of a run summed over (accumulator stride 0) go to this many
// binary64 partial sums, element i to lane i % sum_lanes, which are added in
// lane order at the end: independent chains the compiler keeps in vector
// registers. The grouping is fixed, so every level gives the same bits.
inline constexpr size_t sum_lanes = 16;

struct LaneSums {
    double lane[sum_lanes] = {};
    double tail = 0.0;  // the elements past the last full group, in order

    // x[0..m) continue the run; m is a multiple of sum_lanes except at its end.
    PELOR_ALWAYS_INLINE void add(const float* __restrict x, size_t m) {
        double part[sum_lanes];
        for (size_t l = 0; l < sum_lanes; ++l) part[l] = lane[l];
        size_t i = 0;
        for (; i + sum_lanes <= m; i += sum_lanes)
            for (size_t l = 0; l < sum_lanes; ++l) part[l] += double(x[i + l]);
        for (size_t l = 0; l < sum_lanes; ++l) lane[l] = part[l];
        for (; i < m; ++i) tail += double(x[i]);
    }

    double total() const {
        double s = lane[0];
        for (size_t l = 1; l < sum_lanes; ++l) s += lane[l];
        return s + tail;
    }
};

// x[0..m) (binary32, contiguous) added to acc[i * acc_stride], in order.
PELOR_ALWAYS_INLINE void add_each(const float* __restrict x, double* __restrict acc, ptrdiff_t acc_stride, size_t m) {
    if (acc_stride == 1) {
        for (size_t i = 0; i < m; ++i) acc[i] += double(x[i]);
    } else {
        for (size_t i = 0; i < m; ++i) acc[ptrdiff_t(i) * acc_stride] += double(x[i]);
    }
}

template <class In>
void sum(const SumRun<In>& r) {
    const bool summed = r.acc_stride == 0;
    LaneSums lanes;
    if constexpr (std::is_same_v<In, float>) {
        if (r.in_stride == 1) {
            if (summed) {
                lanes.add(r.in, r.count);
                r.acc[0] += lanes.total();
            } else {
                add_each(r.in, r.acc, r.acc_stride, r.count);
            }
            return;
        }
    }
    // Blocks of the input gathered or widened to binary32 first (exact).
    alignas(64) float block[half_block];
    for (size_t i0 = 0; i0 < r.count; i0 += half_block) {
        const size_t m = std::min(half_block, r.count - i0);
        const In* src = r.in + ptrdiff_t(i0) * r.in_stride;
        if constexpr (std::is_same_v<In, float>) {
            for (size_t i = 0; i < m; ++i) block[i] = src[ptrdiff_t(i) * r.in_stride];
        } else {
            widen_block<typename ConvOf<In>::type>(reinterpret_cast<const u16*>(src), r.in_stride, block, m);
        }
        if (summed) lanes.add(block, m);
        else add_each(block, r.acc + ptrdiff_t(i0) * r.acc_stride, r.acc_stride, m);
    }
    if (summed) r.acc[0] += lanes.total();
}

}  // namespace loops

template <class In, std::size_t N, class Out, std::size_t M, class Rule>
PELOR_ALWAYS_INLINE void run(const Run<In, N, Out, M>& r, Rule rule) {
    if constexpr (loops::is_half<In> && !loops::OnBits<Rule>) {
        loops::in_binary32(r, rule);
    } else {
#if defined(__AVX2__)
        if constexpr (std::is_same_v<In, float> && std::is_same_v<Out, bool> && N == 2 && M == 1 &&
                      loops::Predicate<Rule>) {
            if (loops::compare_route<Rule>(r)) return;
        }
#endif
        map_run(loops::as_stored(r), rule);
    }
}

template <class Rule, class In, std::size_t N, class Out, std::size_t M>
void loop(const Run<In, N, Out, M>& r) {
    run(r, Rule{});
}

template <class In>
void sum(const SumRun<In>& r) {
    loops::sum(r);
}

}  // namespace
}  // namespace pelor::engine::cpu::elementwise

#undef PELOR_ALWAYS_INLINE
