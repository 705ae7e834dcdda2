#include "engine/cpu/cpu_features.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include <cstdint>

namespace pelor::engine::cpu {

namespace {

#if defined(__x86_64__)

struct Features {
    bool avx2 = false;
    bool avx512 = false;
    bool avx512_bf16 = false;
    bool amx_fp16 = false;
};

std::uint64_t xgetbv0() {
    std::uint32_t lo, hi;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (std::uint64_t(hi) << 32) | lo;
}

Features detect() {
    Features f;
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
    const bool osxsave = c & bit_OSXSAVE;
    const bool fma = c & bit_FMA, f16c = c & bit_F16C, avx = c & bit_AVX;
    if (!osxsave || !avx) return f;
    const std::uint64_t xcr0 = xgetbv0();
    const bool ymm_state = (xcr0 & 0x6) == 0x6;            // SSE and AVX state
    const bool zmm_state = (xcr0 & 0xE6) == 0xE6;          // plus opmask and ZMM state
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return f;
    const bool avx2 = b & bit_AVX2, bmi2 = b & bit_BMI2;
    const bool avx512f = b & bit_AVX512F, avx512dq = b & bit_AVX512DQ;
    const bool avx512bw = b & bit_AVX512BW, avx512vl = b & bit_AVX512VL;
    f.avx2 = ymm_state && avx2 && fma && f16c && bmi2;
    f.avx512 = f.avx2 && zmm_state && avx512f && avx512dq && avx512bw && avx512vl;
    unsigned a1 = 0, b1 = 0, c1 = 0, d1 = 0;
    if (__get_cpuid_count(7, 1, &a1, &b1, &c1, &d1)) {
        f.avx512_bf16 = f.avx512 && (a1 & (1u << 5));
        // The tile state's permission is oneDNN's to request; this is only
        // whether the processor has the unit.
        f.amx_fp16 = a1 & (1u << 21);
    }
    return f;
}

const Features& features() {
    static const Features f = detect();
    return f;
}

#endif

}  // namespace

// A level added to cmake/isa.cmake without a case here leaves the switch
// incomplete, which -Wswitch reports.
bool cpu_supports(IsaLevel level) {
    switch (level) {
        case IsaLevel::baseline: return true;
#if defined(__x86_64__)
        case IsaLevel::avx2: return features().avx2;
        case IsaLevel::avx512: return features().avx512;
        case IsaLevel::avx512_bf16: return features().avx512_bf16;
#endif
    }
    return false;
}

bool cpu_has_amx_fp16() {
#if defined(__x86_64__)
    return features().amx_fp16;
#else
    return false;
#endif
}

}  // namespace pelor::engine::cpu
