#pragma once
// The one processor check: which instruction-set level the kernels run at.
// It runs once (thread-safe static) and is cached; results never depend on
// the level, only speed does.
//
// The levels are per architecture and match cmake/isa.cmake, which compiles
// every *.isa.cpp file once per level (pelor::isa::<level>) and defines
// PELOR_ISA_X86_64 when it builds the x86-64 levels. Every other target
// (aarch64 included) has the baseline level only.
namespace pelor::engine::cpu {

#if defined(PELOR_ISA_X86_64)

enum class IsaLevel { baseline, avx2, avx512 };

// avx2: AVX2, FMA, F16C and BMI2 with the OS saving the YMM state.
// avx512: additionally AVX-512 F, DQ, BW, VL and BF16 with the OS saving the
// ZMM and mask state.
IsaLevel isa_level();

// AVX-512 F, DQ, BW and VL with OS support (what BLIS's AVX-512 kernels need).
bool has_avx512_core();

// The one of three per-level variants (kernel tables compiled once per level)
// that this processor runs.
template <class T>
const T& for_this_cpu(const T& baseline, const T& avx2, const T& avx512) {
    switch (isa_level()) {
        case IsaLevel::avx512: return avx512;
        case IsaLevel::avx2: return avx2;
        case IsaLevel::baseline: break;
    }
    return baseline;
}

// The variant of pelor::isa::<level>::name for this processor.
#define PELOR_FOR_THIS_CPU(name) \
    ::pelor::engine::cpu::for_this_cpu(::pelor::isa::baseline::name, ::pelor::isa::avx2::name, ::pelor::isa::avx512::name)

#else

enum class IsaLevel { baseline };

inline IsaLevel isa_level() { return IsaLevel::baseline; }

#define PELOR_FOR_THIS_CPU(name) (::pelor::isa::baseline::name)

#endif

}  // namespace pelor::engine::cpu
