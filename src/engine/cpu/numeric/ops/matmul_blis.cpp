#include "engine/cpu/numeric/ops/matmul_blis.hpp"

#include <blis.h>

#include "engine/cpu/isa_choice.hpp"

namespace pelor::engine::cpu::numeric::ops {

namespace {

// BLIS is initialised once, before its first use, and the kernel context is
// chosen with it. Where the avx512 level is enabled (an x86-64 processor with
// AVX-512 F, DQ, BW and VL, and PELOR_ISA not below it) the AVX-512 ("skx")
// kernels run every product: BLIS's own processor detection may pick its AVX2
// kernels there. Elsewhere (other processors, aarch64 and
// any other architecture), or with a BLIS built without those kernels
// (looking up an unregistered context would fault), BLIS's default choice
// stands (null). A function-local static makes both thread-safe.
const cntx_t* gemm_context() {
    static const cntx_t* const context = [] {
        bli_init();
#if defined(__x86_64__) && defined(BLIS_CONFIG_SKX)
        if (isa_level_enabled(IsaLevel::avx512)) return bli_gks_lookup_id(BLIS_ARCH_SKX);
#endif
        return static_cast<const cntx_t*>(nullptr);
    }();
    return context;
}

}  // namespace

// BLIS's stride rules for a real matrix: neither stride 0; equal strides
// only for a row or a column; otherwise the larger stride must step over the
// whole of the other axis. Negative strides are refused here as well.
bool blis_strides_valid(std::size_t m, std::size_t n, std::ptrdiff_t rs, std::ptrdiff_t cs) {
    if (rs <= 0 || cs <= 0) return false;
    if (rs == cs) return m == 1 || n == 1;
    std::ptrdiff_t span;
    if (rs < cs) return !__builtin_mul_overflow(std::ptrdiff_t(m), rs, &span) && span <= cs;
    return !__builtin_mul_overflow(std::ptrdiff_t(n), cs, &span) && span <= rs;
}

void blis_sgemm(std::size_t m, std::size_t n, std::size_t k, const float* a, std::ptrdiff_t a_rs,
                std::ptrdiff_t a_cs, const float* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs, float* c) {
    static constexpr float one = 1.0f, zero = 0.0f;
    bli_sgemm_ex(BLIS_NO_TRANSPOSE, BLIS_NO_TRANSPOSE, dim_t(m), dim_t(n), dim_t(k), &one, a, inc_t(a_rs),
                 inc_t(a_cs), b, inc_t(b_rs), inc_t(b_cs), &zero, c, inc_t(n), 1, gemm_context(), nullptr);
}

}  // namespace pelor::engine::cpu::numeric::ops
