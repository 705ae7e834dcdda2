// The div_backward loops at one instruction-set level (compiled once per level
// with PELOR_ISA naming it), through the one loop layer
// (elementwise/loops.hpp).
//
// Per element, each result rounded once to the element type:
//   ga = g / b
//   gb = -(g * a) / (b * b)
// gb is computed in binary64, where both products are exact (at most 2 * 24
// significand bits, and far from binary64's overflow and underflow), so no
// intermediate can overflow to infinity or vanish to zero when the quotient
// itself is representable (f16 a = 100, b = 300: b * b overflows binary16).
#include <array>
#include <limits>
#include <type_traits>

#include "engine/cpu/elementwise/loops.hpp"
#include "engine/cpu/numeric/backward/binary_kernels.hpp"

namespace pelor::isa::PELOR_ISA {

namespace {

namespace ew = engine::cpu::elementwise;
using engine::cpu::numeric::backward::DivBackwardKernels;
using engine::cpu::numeric::backward::DivBackwardLoops;

enum class Which { both, dividend, divisor };

// Inputs (g, a, b) in binary32 (16-bit types arrive widened). Half: the
// results are narrowed to a 16-bit type afterwards, so a binary64 quotient is
// rounded to odd in binary32 first, which makes the two roundings one (see
// ew::round_to_odd). Otherwise g / b in binary32 is already correctly rounded,
// and the binary64 quotient is rounded once, to binary32.
template <Which W, bool Half>
struct DivBackward {
    static float rounded(double d) {
        if constexpr (Half) return ew::round_to_odd(d);
        else return float(d);
    }
    static float dividend(float g, float b) {
        if constexpr (Half) return rounded(double(g) / b);
        else return g / b;
    }
    // A NaN quotient becomes the default quiet NaN: which NaN operand it
    // would carry, and its sign, depend on how the compiler ordered the
    // product and placed the negation, which differs between levels.
    static float divisor(float g, float a, float b) {
        const double bd = b;
        const double q = -(double(g) * a) / (bd * bd);
        return q != q ? std::numeric_limits<float>::quiet_NaN() : rounded(q);
    }
    auto operator()(float g, float a, float b) const {
        if constexpr (W == Which::both) return std::array<float, 2>{dividend(g, b), divisor(g, a, b)};
        else if constexpr (W == Which::dividend) return dividend(g, b);
        else return divisor(g, a, b);
    }
};

template <class T, bool Half = !std::is_same_v<T, float>>
constexpr DivBackwardLoops<T> loops = {ew::loop<DivBackward<Which::both, Half>>,
                                       ew::loop<DivBackward<Which::dividend, Half>>,
                                       ew::loop<DivBackward<Which::divisor, Half>>};

}  // namespace

PELOR_KERNEL_TABLE_DEFINE(div_backward_kernels) = {loops<float>, loops<F16>, loops<BF16>};

}  // namespace pelor::isa::PELOR_ISA
