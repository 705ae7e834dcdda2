// Transposing block copies at one instruction-set level (compiled once per
// level with PELOR_ISA naming it). 8 x 8 blocks go through vector registers:
// 2-byte elements at every level (SSE2), 4-byte ones where the level has AVX.
// Other architectures have no such kernels (null entries): the callers' own
// tiled loops do the work there.
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstring>

#include "engine/cpu/storage/transpose_kernels.hpp"

namespace pelor::isa::PELOR_ISA {

namespace {

using engine::cpu::storage::TransposeKernels;
using std::ptrdiff_t;
using std::size_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;

#if defined(__x86_64__)

// Source columns c..c+7 (8 two-byte elements down the rows each) become
// destination rows r..r+7. SSE2 is part of every x86-64 level.
void block8x8(const char* src, ptrdiff_t cs, u16* dst, ptrdiff_t rd) {
    const auto load = [&](int j) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + j * cs)); };
    const __m128i a0 = load(0), a1 = load(1), a2 = load(2), a3 = load(3);
    const __m128i a4 = load(4), a5 = load(5), a6 = load(6), a7 = load(7);
    const __m128i t0 = _mm_unpacklo_epi16(a0, a1), t1 = _mm_unpackhi_epi16(a0, a1);
    const __m128i t2 = _mm_unpacklo_epi16(a2, a3), t3 = _mm_unpackhi_epi16(a2, a3);
    const __m128i t4 = _mm_unpacklo_epi16(a4, a5), t5 = _mm_unpackhi_epi16(a4, a5);
    const __m128i t6 = _mm_unpacklo_epi16(a6, a7), t7 = _mm_unpackhi_epi16(a6, a7);
    const __m128i u0 = _mm_unpacklo_epi32(t0, t2), u1 = _mm_unpackhi_epi32(t0, t2);
    const __m128i u2 = _mm_unpacklo_epi32(t1, t3), u3 = _mm_unpackhi_epi32(t1, t3);
    const __m128i u4 = _mm_unpacklo_epi32(t4, t6), u5 = _mm_unpackhi_epi32(t4, t6);
    const __m128i u6 = _mm_unpacklo_epi32(t5, t7), u7 = _mm_unpackhi_epi32(t5, t7);
    const auto store = [&](int i, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i * rd), v); };
    store(0, _mm_unpacklo_epi64(u0, u4));
    store(1, _mm_unpackhi_epi64(u0, u4));
    store(2, _mm_unpacklo_epi64(u1, u5));
    store(3, _mm_unpackhi_epi64(u1, u5));
    store(4, _mm_unpacklo_epi64(u2, u6));
    store(5, _mm_unpackhi_epi64(u2, u6));
    store(6, _mm_unpacklo_epi64(u3, u7));
    store(7, _mm_unpackhi_epi64(u3, u7));
}

#endif

#if defined(__AVX2__)

// Source columns c..c+7 (8 elements down the rows each) become destination
// rows r..r+7.
void block8x8(const char* src, ptrdiff_t cs, u32* dst, ptrdiff_t rd) {
    const auto load = [&](int j) { return _mm256_loadu_ps(reinterpret_cast<const float*>(src + j * cs)); };
    const __m256 a0 = load(0), a1 = load(1), a2 = load(2), a3 = load(3);
    const __m256 a4 = load(4), a5 = load(5), a6 = load(6), a7 = load(7);
    const __m256 t0 = _mm256_unpacklo_ps(a0, a1), t1 = _mm256_unpackhi_ps(a0, a1);
    const __m256 t2 = _mm256_unpacklo_ps(a2, a3), t3 = _mm256_unpackhi_ps(a2, a3);
    const __m256 t4 = _mm256_unpacklo_ps(a4, a5), t5 = _mm256_unpackhi_ps(a4, a5);
    const __m256 t6 = _mm256_unpacklo_ps(a6, a7), t7 = _mm256_unpackhi_ps(a6, a7);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    const auto store = [&](int i, __m256 v) { _mm256_storeu_ps(reinterpret_cast<float*>(dst + i * rd), v); };
    store(0, _mm256_permute2f128_ps(u0, u4, 0x20));
    store(1, _mm256_permute2f128_ps(u1, u5, 0x20));
    store(2, _mm256_permute2f128_ps(u2, u6, 0x20));
    store(3, _mm256_permute2f128_ps(u3, u7, 0x20));
    store(4, _mm256_permute2f128_ps(u0, u4, 0x31));
    store(5, _mm256_permute2f128_ps(u1, u5, 0x31));
    store(6, _mm256_permute2f128_ps(u2, u6, 0x31));
    store(7, _mm256_permute2f128_ps(u3, u7, 0x31));
}

#endif

template <class T>
void copy_one(const char* src, ptrdiff_t cs, size_t r, size_t c, T* dst, ptrdiff_t rd) {
    std::memcpy(dst + ptrdiff_t(r) * rd + ptrdiff_t(c), src + ptrdiff_t(r * sizeof(T)) + ptrdiff_t(c) * cs, sizeof(T));
}

// 16 x 16 blocks made of four 8 x 8 ones, in an order that finishes each
// source line (a column's elements) and each destination line (a row's)
// within a block: with power-of-two strides all lines of a block fall in one
// cache set and would evict each other before a later visit.
template <class T>
void transpose(const char* src, ptrdiff_t cs, size_t rows, size_t cols, T* dst, ptrdiff_t rd) {
    constexpr ptrdiff_t half = 8 * sizeof(T);  // bytes of 8 elements down a column
    const size_t rows16 = rows / 16 * 16, cols16 = cols / 16 * 16;
    for (size_t r0 = 0; r0 < rows16; r0 += 16) {
        for (size_t c0 = 0; c0 < cols16; c0 += 16) {
            const char* s = src + ptrdiff_t(r0 * sizeof(T)) + ptrdiff_t(c0) * cs;
            T* d = dst + ptrdiff_t(r0) * rd + ptrdiff_t(c0);
            block8x8(s, cs, d, rd);
            block8x8(s + half, cs, d + 8 * rd, rd);
            block8x8(s + 8 * cs, cs, d + 8, rd);
            block8x8(s + 8 * cs + half, cs, d + 8 * rd + 8, rd);
        }
    }
    for (size_t r = rows16; r < rows; ++r)
        for (size_t c = 0; c < cols16; ++c) copy_one(src, cs, r, c, dst, rd);
    for (size_t r = 0; r < rows; ++r)
        for (size_t c = cols16; c < cols; ++c) copy_one(src, cs, r, c, dst, rd);
}

#if defined(__x86_64__)

constexpr TransposeKernels::Kernel16 kernel16 = transpose<u16>;

#else

constexpr TransposeKernels::Kernel16 kernel16 = nullptr;

#endif

#if defined(__AVX2__)

constexpr TransposeKernels::Kernel32 kernel32 = transpose<u32>;

#else

constexpr TransposeKernels::Kernel32 kernel32 = nullptr;

#endif

}  // namespace

PELOR_KERNEL_TABLE_DEFINE(transpose_kernels) = {kernel32, kernel16};

}  // namespace pelor::isa::PELOR_ISA
