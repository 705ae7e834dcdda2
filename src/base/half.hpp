#pragma once
// The two 16-bit element types. Both are bit patterns with exact widening to
// binary32 and round-to-nearest-even narrowing; arithmetic happens in binary32
// and is rounded once, which gives the correctly rounded binary16 result for
// + - * / (binary32 has more than 2 * 11 + 2 significand bits).
#include <bit>
#include <cstdint>

namespace pelor {

// binary64 to binary32 rounded to odd: an inexact result is the neighbour
// toward zero with its last bit set. Rounding that once more to a format with
// at least two bits less (binary16, bfloat16) to nearest even gives the
// correctly rounded result of the binary64 value, where two rounding steps to
// nearest could be off by one unit. Overflow gives the largest finite value
// (odd), which still rounds to infinity below; a NaN stays a NaN.
constexpr float round_to_odd_float(double d) {
    const float f = float(d);
    std::uint32_t u = std::bit_cast<std::uint32_t>(f);
    const double back = double(f);
    const bool inexact = back != d && d == d;
    u -= std::uint32_t(inexact && (back > d) == (d > 0.0));  // one step toward zero
    u |= std::uint32_t(inexact);
    return std::bit_cast<float>(u);
}

struct F16 {
    std::uint16_t bits;

    static constexpr F16 from_bits(std::uint16_t b) { return F16{b}; }

    // Exact widening, done with integer operations so it needs no F16C.
    constexpr float to_float() const {
        std::uint32_t sign = std::uint32_t(bits & 0x8000u) << 16;
        std::uint32_t exp = (bits >> 10) & 0x1Fu;
        std::uint32_t man = bits & 0x3FFu;
        std::uint32_t out;
        if (exp == 0x1F) {
            out = sign | 0x7F800000u | (man << 13);  // inf, NaN with payload kept
        } else if (exp != 0) {
            out = sign | ((exp + 112) << 23) | (man << 13);
        } else if (man == 0) {
            out = sign;
        } else {
            // Subnormal: normalise the significand.
            int shift = std::countl_zero(man) - 21;  // leading zeros within 10 bits
            man = (man << shift) & 0x3FFu;
            out = sign | (std::uint32_t(113 - shift) << 23) | (man << 13);
        }
        return std::bit_cast<float>(out);
    }

    // Round to nearest, ties to even; overflow gives infinity, a NaN stays a
    // NaN (quiet, upper payload bits kept).
    static constexpr F16 from_float(float f) {
        std::uint32_t x = std::bit_cast<std::uint32_t>(f);
        std::uint16_t sign = std::uint16_t((x >> 16) & 0x8000u);
        std::uint32_t ax = x & 0x7FFFFFFFu;
        if (ax >= 0x7F800000u) {
            if (ax == 0x7F800000u) return F16{std::uint16_t(sign | 0x7C00u)};
            return F16{std::uint16_t(sign | 0x7E00u | ((ax >> 13) & 0x3FFu))};
        }
        if (ax >= 0x477FF000u) return F16{std::uint16_t(sign | 0x7C00u)};  // rounds past 65504
        if (ax < 0x38800000u) {
            // Result is subnormal or zero: the value in units of 2^-24, rounded.
            if (ax < 0x33000000u) return F16{sign};  // below half the smallest subnormal
            std::uint32_t e = ax >> 23;
            std::uint32_t man = (ax & 0x7FFFFFu) | 0x800000u;
            std::uint32_t shift = 126 - e;  // 14..24 bits to drop
            std::uint32_t q = man >> shift;
            std::uint32_t rem = man & ((1u << shift) - 1);
            std::uint32_t half = 1u << (shift - 1);
            if (rem > half || (rem == half && (q & 1u))) ++q;
            return F16{std::uint16_t(sign | q)};
        }
        // Normal: rebias and round the 13 dropped bits; a carry steps the exponent.
        std::uint32_t v = ax - 0x38000000u;
        std::uint32_t r = v + 0xFFFu + ((v >> 13) & 1u);
        return F16{std::uint16_t(sign | (r >> 13))};
    }

    // Correctly rounded from binary64 (one rounding, not two).
    static constexpr F16 from_double(double d) { return from_float(round_to_odd_float(d)); }
};

struct BF16 {
    std::uint16_t bits;

    static constexpr BF16 from_bits(std::uint16_t b) { return BF16{b}; }

    constexpr float to_float() const { return std::bit_cast<float>(std::uint32_t(bits) << 16); }

    // Upper 16 bits rounded to nearest even; a NaN keeps its upper bits and
    // gets the quiet bit 0x0040.
    static constexpr BF16 from_float(float f) {
        std::uint32_t x = std::bit_cast<std::uint32_t>(f);
        if ((x & 0x7FFFFFFFu) > 0x7F800000u) return BF16{std::uint16_t((x >> 16) | 0x0040u)};
        return BF16{std::uint16_t((x + 0x7FFFu + ((x >> 16) & 1u)) >> 16)};
    }

    // Correctly rounded from binary64 (one rounding, not two).
    static constexpr BF16 from_double(double d) { return from_float(round_to_odd_float(d)); }
};

static_assert(sizeof(F16) == 2 && sizeof(BF16) == 2);

}  // namespace pelor
