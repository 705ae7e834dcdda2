// The div_backward loops at one instruction-set level (compiled once per level
// with PELOR_ISA naming it); internal linkage only, so nothing compiled for a
// wide level leaks into baseline code.
//
// Per element, each result rounded once to the element type:
//   ga = g / b
//   gb = -(g * a) / (b * b)
// gb is computed in binary64, where both products are exact (at most 2 * 24
// significand bits, and far from binary64's overflow and underflow), so no
// intermediate can overflow to infinity or vanish to zero when the quotient
// itself is representable (f16 a = 100, b = 300: b * b overflows binary16).
#include <algorithm>
#include <array>
#include <cstdint>
#include <type_traits>

#include "engine/cpu/elementwise/isa_loops.hpp"
#include "engine/cpu/elementwise/map_run.hpp"
#include "engine/cpu/numeric/backward/binary_kernels.hpp"

namespace pelor::isa::PELOR_ISA {

namespace {

namespace ew = engine::cpu::elementwise;
using engine::cpu::numeric::backward::DivBackwardKernels;
using engine::cpu::numeric::backward::DivRun;

using std::size_t;
using u16 = std::uint16_t;

enum class Which { both, dividend, divisor };
constexpr size_t outputs(Which w) { return w == Which::both ? 2 : 1; }

// g / b in binary32 is already correctly rounded; the binary64 quotient is
// rounded once more, to binary32.
template <Which W>
void div_backward_f32(const DivRun<float, outputs(W)>& run) {
    ew::map_run(run, [](float g, float a, float b) {
        const double bd = b;
        const auto divisor = [&] { return float(-(double(g) * a) / (bd * bd)); };
        if constexpr (W == Which::both) return std::array<float, 2>{g / b, divisor()};
        else if constexpr (W == Which::dividend) return g / b;
        else return divisor();
    });
}

// The 16-bit types in blocks: widened exactly to binary32, divided in
// binary64 and narrowed once (rounded to odd in binary32, then to nearest
// even in the element type, which is one correct rounding of the binary64
// quotient; see ew::round_to_odd).
template <class Conv, class T, Which W>
void div_backward_half(const DivRun<T, outputs(W)>& run) {
    const u16* g = reinterpret_cast<const u16*>(run.in[0]);
    const u16* a = reinterpret_cast<const u16*>(run.in[1]);
    const u16* b = reinterpret_cast<const u16*>(run.in[2]);
    u16* ga = W == Which::divisor ? nullptr : reinterpret_cast<u16*>(run.out[0]);
    u16* gb = W == Which::dividend ? nullptr : reinterpret_cast<u16*>(run.out[outputs(W) - 1]);
    const auto [sg, sa, sb] = run.stride;
    constexpr size_t block = ew::half_block;
    alignas(64) float fg[block], fa[block], fb[block], out[block];
    for (size_t i0 = 0; i0 < run.count; i0 += block) {
        const size_t m = std::min(block, run.count - i0);
        const std::ptrdiff_t i = std::ptrdiff_t(i0);
        ew::load_block<Conv>(g + i * sg, sg, fg, m);
        ew::load_block<Conv>(b + i * sb, sb, fb, m);
        if constexpr (W != Which::divisor) {
            for (size_t k = 0; k < m; ++k) out[k] = ew::round_to_odd(double(fg[k]) / fb[k]);
            Conv::narrow(out, ga + i0, m);
        }
        if constexpr (W != Which::dividend) {
            ew::load_block<Conv>(a + i * sa, sa, fa, m);
            for (size_t k = 0; k < m; ++k) {
                const double bd = fb[k];
                out[k] = ew::round_to_odd(-(double(fg[k]) * fa[k]) / (bd * bd));
            }
            Conv::narrow(out, gb + i0, m);
        }
    }
}

template <class Conv, class T>
constexpr engine::cpu::numeric::backward::DivBackwardLoops<T> half_loops = {
    div_backward_half<Conv, T, Which::both>, div_backward_half<Conv, T, Which::dividend>,
    div_backward_half<Conv, T, Which::divisor>};

}  // namespace

PELOR_KERNEL_TABLE_DEFINE(div_backward_kernels) = {
    {div_backward_f32<Which::both>, div_backward_f32<Which::dividend>, div_backward_f32<Which::divisor>},
    half_loops<ew::F16Blocks, F16>,
    half_loops<ew::BF16Blocks, BF16>,
};

}  // namespace pelor::isa::PELOR_ISA
