// The div_backward loop at one instruction-set level (compiled once per level
// with PELOR_ISA naming it); internal linkage only, so nothing compiled for a
// wide level leaks into baseline code.
//
// Per element, with the element type's own multiplication and division, each
// rounded to the element type before the next one uses it:
//   ga = g / b
//   gb = ((-g) * a) / (b * b)
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

void div_backward_f32(const DivRun<float>& run) {
    // -(g * a) equals (-g) * a bit for bit: rounding to nearest is symmetric.
    ew::map_run(run, [](float g, float a, float b) { return std::array<float, 2>{g / b, -(g * a) / (b * b)}; });
}

// The 16-bit types in blocks of binary32: every operation runs vectorised in
// binary32 and its result is narrowed to the element type (and widened again
// where the next operation needs it), which is the element type's correctly
// rounded operation (binary16) or its widen-operate-round rule (bfloat16).
template <class Conv, class T>
void div_backward_half(const DivRun<T>& run) {
    const u16* g = reinterpret_cast<const u16*>(run.in[0]);
    const u16* a = reinterpret_cast<const u16*>(run.in[1]);
    const u16* b = reinterpret_cast<const u16*>(run.in[2]);
    u16* ga = reinterpret_cast<u16*>(run.out[0]);
    u16* gb = reinterpret_cast<u16*>(run.out[1]);
    const auto [sg, sa, sb] = run.stride;
    constexpr size_t block = ew::half_block;
    alignas(64) float fg[block], fa[block], fb[block], num[block], den[block];
    alignas(64) u16 rounded[block];
    for (size_t i0 = 0; i0 < run.count; i0 += block) {
        const size_t m = std::min(block, run.count - i0);
        const std::ptrdiff_t i = std::ptrdiff_t(i0);
        ew::load_block<Conv>(g + i * sg, sg, fg, m);
        ew::load_block<Conv>(a + i * sa, sa, fa, m);
        ew::load_block<Conv>(b + i * sb, sb, fb, m);
        for (size_t k = 0; k < m; ++k) num[k] = fg[k] / fb[k];
        Conv::narrow(num, ga + i0, m);
        for (size_t k = 0; k < m; ++k) num[k] = -fg[k] * fa[k];
        Conv::narrow(num, rounded, m);
        Conv::widen(rounded, num, m);
        for (size_t k = 0; k < m; ++k) den[k] = fb[k] * fb[k];
        Conv::narrow(den, rounded, m);
        Conv::widen(rounded, den, m);
        for (size_t k = 0; k < m; ++k) num[k] = num[k] / den[k];
        Conv::narrow(num, gb + i0, m);
    }
}

}  // namespace

extern const DivBackwardKernels div_backward_kernels = {div_backward_f32, div_backward_half<ew::F16Blocks, F16>,
                                                        div_backward_half<ew::BF16Blocks, BF16>};

}  // namespace pelor::isa::PELOR_ISA
