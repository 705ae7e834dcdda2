// Every instruction-set level's float32 -> 16-bit cast kernels must give the
// baseline level's results bit for bit (and the same cast events), and every
// level's transposing copies must move each element where a plain loop would.
// The Python suite reaches only the level this processor selects; this program
// runs every level the processor can execute (on an AVX-512 processor with
// BF16 that includes the avx512 level's casts, which processors without BF16
// run) against the baseline tables. tests/test_kernel_levels.py runs it.
#include <bit>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <tuple>
#include <random>
#include <span>
#include <vector>

#include "engine/cpu/cpu_features.hpp"
#include "isa_levels.hpp"
#include "engine/cpu/numeric/ops/cast_kernels.hpp"
#include "engine/cpu/storage/transpose_kernels.hpp"

namespace {

using pelor::engine::cpu::IsaLevel;
using pelor::engine::cpu::numeric::ops::CastKernels;
using pelor::engine::cpu::storage::TransposeKernels;

// The transposing copies exist at the common levels only (null elsewhere).
struct Level {
    const char* name;
    IsaLevel level;
    const CastKernels* casts;
    const TransposeKernels* transposes;
};

// Boundaries of both 16-bit formats with their neighbours, the special
// values, random bit patterns and ordinary values of every magnitude.
std::vector<float> cast_inputs() {
    std::vector<std::uint32_t> bits;
    for (std::uint32_t upper = 0; upper < 0x10000u; ++upper)
        for (std::uint32_t low : {0x0000u, 0x0001u, 0x7FFFu, 0x8000u, 0x8001u, 0xFFFFu}) bits.push_back(upper << 16 | low);
    for (std::uint32_t h = 0; h < 0x8000u; ++h) {
        // binary16 patterns as binary32 (normal range), and the midpoints to the next.
        const std::uint32_t f = ((h & 0x7C00u) ? ((h >> 10) + 112) << 23 : 0u) | (h & 0x3FFu) << 13;
        for (std::uint32_t d : {0x0FFFu, 0x1000u, 0x1001u}) bits.push_back(f + d);
    }
    for (std::uint32_t e = 0; e < 0x100u; ++e)
        for (std::uint32_t m : {0x000000u, 0x000001u, 0x3FFFFFu, 0x400000u, 0x7FFFFFu, 0x001000u, 0x002000u})
            bits.push_back(e << 23 | m);
    std::mt19937 rng(2026);
    for (int i = 0; i < (1 << 21); ++i) bits.push_back(rng());
    std::normal_distribution<float> normal;
    std::uniform_int_distribution<int> scale(-40, 40);
    std::vector<float> values;
    for (std::uint32_t b : bits) values.push_back(std::bit_cast<float>(b));
    for (std::uint32_t b : bits) values.push_back(-std::bit_cast<float>(b));
    for (int i = 0; i < (1 << 21); ++i) values.push_back(std::ldexp(normal(rng), scale(rng)));
    return values;
}

// Chunks of changing length, so that every tail length is met and the events
// are compared for small groups of values.
bool same_casts(const Level& level, const Level& base, std::span<const float> in) {
    std::vector<std::uint16_t> got(in.size()), want(in.size());
    using Kernel = unsigned (*)(const float*, std::uint16_t*, std::size_t);
    for (auto [name, kernel, reference] : {std::tuple<const char*, Kernel, Kernel>{"f16", level.casts->f32_to_f16, base.casts->f32_to_f16},
                                           {"bf16", level.casts->f32_to_bf16, base.casts->f32_to_bf16}}) {
        std::size_t length = 1;
        for (std::size_t i = 0; i < in.size(); i += length, length = length % 97 + 1) {
            const std::size_t n = std::min(length, in.size() - i);
            const unsigned e = kernel(in.data() + i, got.data() + i, n);
            const unsigned r = reference(in.data() + i, want.data() + i, n);
            if (e != r) {
                std::printf("%s %s: events %u, baseline %u, at %zu (+%zu)\n", level.name, name, e, r, i, n);
                return false;
            }
        }
        for (std::size_t i = 0; i < in.size(); ++i) {
            if (got[i] != want[i]) {
                std::printf("%s %s: %#010x gives %#06x, baseline %#06x\n", level.name, name,
                            std::bit_cast<std::uint32_t>(in[i]), got[i], want[i]);
                return false;
            }
        }
    }
    return true;
}

// dst[r * rd + c] = source element (r, c) at src + r * sizeof(T) + c * cs,
// for a kernel of the level (null: the level has none).
template <class T, class Kernel>
bool same_transposes(const char* level, const char* name, Kernel kernel) {
    if (!kernel) return true;
    for (std::size_t rows : {0, 1, 7, 8, 15, 16, 17, 33, 64}) {
        for (std::size_t cols : {0, 1, 8, 9, 16, 31, 48}) {
            for (std::ptrdiff_t pad : {0, 3}) {
                for (bool reversed : {false, true}) {
                    const std::ptrdiff_t col = std::ptrdiff_t(rows) + pad;  // elements between columns
                    std::vector<T> src(std::size_t(col) * cols + 1);
                    for (std::size_t i = 0; i < src.size(); ++i) src[i] = T(i * 2654435761u);
                    const std::ptrdiff_t rd = std::ptrdiff_t(cols) + 2;
                    std::vector<T> got(rows * std::size_t(rd), T(0xDEAD)), want = got;
                    const char* base = reinterpret_cast<const char*>(src.data());
                    const std::ptrdiff_t cs = (reversed ? -col : col) * std::ptrdiff_t(sizeof(T));
                    if (reversed && cols) base += (std::ptrdiff_t(cols) - 1) * col * std::ptrdiff_t(sizeof(T));
                    kernel(base, cs, rows, cols, got.data(), rd);
                    for (std::size_t r = 0; r < rows; ++r)
                        for (std::size_t c = 0; c < cols; ++c)
                            std::memcpy(&want[r * std::size_t(rd) + c],
                                        base + std::ptrdiff_t(r * sizeof(T)) + std::ptrdiff_t(c) * cs, sizeof(T));
                    if (got != want) {
                        std::printf("%s %s transpose %zu x %zu (pad %td, reversed %d) differs\n", level, name, rows,
                                    cols, pad, int(reversed));
                        return false;
                    }
                }
            }
        }
    }
    return true;
}

bool same_transposes(const Level& level) {
    if (!level.transposes) return true;
    return same_transposes<std::uint32_t>(level.name, "b32", level.transposes->b32) &&
           same_transposes<std::uint16_t>(level.name, "b16", level.transposes->b16);
}

// Every level this processor supports, narrowest (the baseline) first.
std::vector<Level> levels_here() {
    std::vector<Level> levels;
#define PELOR_LEVEL(name, ...) levels.push_back({#name, IsaLevel::name, &pelor::isa::name::cast_kernels, nullptr});
    PELOR_ISA_LEVELS(PELOR_LEVEL)
#undef PELOR_LEVEL
#define PELOR_TRANSPOSES(name, ...) \
    for (Level& l : levels)         \
        if (l.level == IsaLevel::name) l.transposes = &pelor::isa::name::transpose_kernels;
    PELOR_ISA_COMMON_LEVELS(PELOR_TRANSPOSES)
#undef PELOR_TRANSPOSES
    std::erase_if(levels, [](const Level& l) { return !pelor::engine::cpu::cpu_supports(l.level); });
    return levels;
}

}  // namespace

int main() {
    const std::vector<Level> levels = levels_here();
    const Level& baseline = levels.front();

    const std::vector<float> inputs = cast_inputs();
    for (const Level& level : levels) {
        if (!same_casts(level, baseline, inputs) || !same_transposes(level)) return 1;
        std::printf("%s ok\n", level.name);
    }
    return 0;
}
