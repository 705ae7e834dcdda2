// Every instruction-set level's float32 -> 16-bit cast kernels must give the
// baseline level's results bit for bit (and the same cast events), so must its
// 16-bit conversion passes (the matmul table's, which are the shared block
// conversions), every level's transposing copies must move each element where
// a plain loop would, and every level's element-wise loops (each operation, element type and run
// layout) must give the baseline level's bytes.
// A run of the Python suite reaches one level (the widest, or the one
// PELOR_ISA names); this program runs every level the processor can execute
// (on an AVX-512 processor with BF16 that includes the avx512 level's casts,
// which processors without BF16 run) against the baseline tables.
// tests/test_kernel_levels.py runs it.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <tuple>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/cpu/cpu_features.hpp"
#include "isa_levels.hpp"
#include "engine/cpu/boolean/ops/logical_loops.hpp"
#include "engine/cpu/numeric/backward/binary_kernels.hpp"
#include "engine/cpu/numeric/backward/functional_kernels.hpp"
#include "engine/cpu/numeric/ops/binary_loops.hpp"
#include "engine/cpu/numeric/ops/cast_kernels.hpp"
#include "engine/cpu/numeric/ops/matmul_kernels.hpp"
#include "engine/cpu/numeric/ops/relu_kernels.hpp"
#include "engine/cpu/storage/transpose_kernels.hpp"

namespace {

using pelor::engine::cpu::IsaLevel;
using pelor::engine::cpu::numeric::ops::CastKernels;
using pelor::engine::cpu::numeric::ops::MatmulKernels;
using pelor::engine::cpu::storage::TransposeKernels;

namespace ops = pelor::engine::cpu::numeric::ops;
namespace backward = pelor::engine::cpu::numeric::backward;
namespace ew = pelor::engine::cpu::elementwise;
using pelor::BF16;
using pelor::F16;

// The element-wise loop tables of one level.
struct Elementwise {
    const ops::BinaryLoops* binary;
    const pelor::engine::cpu::boolean::ops::LogicalLoops* logical;
    const ops::ReluKernels* relu;
    const backward::ReluBackwardKernels* relu_backward;
    const backward::DivBackwardKernels* div_backward;
};

// The transposing copies and element-wise loops exist at the common levels
// only (null elsewhere).
struct Level {
    const char* name;
    IsaLevel level;
    const CastKernels* casts;
    const TransposeKernels* transposes;
    const MatmulKernels* matmul;
    std::optional<Elementwise> elementwise;
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

// The 16-bit results of `in` against the baseline's; the first difference is
// reported.
bool same_bits(const Level& level, const char* name, std::span<const float> in, std::span<const std::uint16_t> got,
               std::span<const std::uint16_t> want) {
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (got[i] != want[i]) {
            std::printf("%s %s: %#010x gives %#06x, baseline %#06x\n", level.name, name,
                        std::bit_cast<std::uint32_t>(in[i]), got[i], want[i]);
            return false;
        }
    }
    return true;
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
        if (!same_bits(level, name, in, got, want)) return false;
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

// Element values: every special class (zeros, subnormals, infinities, quiet
// and signalling NaNs of both signs with payloads) among random patterns.
// Elements in a vector (Bool as bytes: std::vector<bool> packs bits).
template <class T>
using Elements = std::vector<std::conditional_t<std::is_same_v<T, bool>, std::uint8_t, T>>;

template <class T>
Elements<T> element_pool() {
    std::mt19937 rng(7);
    Elements<T> pool(4099);
    for (auto& v : pool) {
        if constexpr (std::is_same_v<T, bool>) v = rng() & 1;
        else if constexpr (std::is_same_v<T, float>) v = std::bit_cast<float>(std::uint32_t(rng()));
        else v = T::from_bits(std::uint16_t(rng()));
    }
    if constexpr (std::is_same_v<T, float>) {
        for (std::uint32_t b : {0x7F800000u, 0x7F800001u, 0x7FC00000u, 0x7FA12345u, 0xFFC00001u, 0x00000001u, 0u,
                                0x80000000u, 0x3F800000u, 0x477FF000u, 0x477FF001u})
            pool[b % 4000] = std::bit_cast<float>(b);
    }
    return pool;
}

// `loop` against `reference` on runs of several lengths (tails of every
// vector width, several 16-bit blocks) with every input contiguous,
// broadcast (stride 0) or strided, in every combination.
template <class In, std::size_t N, class Out, std::size_t M>
bool same_runs(const char* level, const char* what, void (*loop)(const ew::Run<In, N, Out, M>&),
               void (*reference)(const ew::Run<In, N, Out, M>&)) {
    static const Elements<In> pool = element_pool<In>();
    constexpr std::ptrdiff_t strides[] = {1, 0, 3};
    std::size_t combinations = 1;
    for (std::size_t k = 0; k < N; ++k) combinations *= 3;
    for (std::size_t n : {1, 7, 33, 64, 65, 130, 513, 1100}) {
        for (std::size_t c = 0; c < combinations; ++c) {
            ew::Run<In, N, Out, M> run{};
            for (std::size_t k = 0, rest = c; k < N; ++k, rest /= 3) {
                run.stride[k] = strides[rest % 3];
                run.in[k] = reinterpret_cast<const In*>(pool.data()) + (k * 331 + c * 17 + n) % 700;
            }
            run.count = n;
            Elements<Out> got(M * n), want(M * n);
            for (std::size_t j = 0; j < M; ++j) run.out[j] = reinterpret_cast<Out*>(got.data()) + j * n;
            loop(run);
            for (std::size_t j = 0; j < M; ++j) run.out[j] = reinterpret_cast<Out*>(want.data()) + j * n;
            reference(run);
            for (std::size_t i = 0; i < got.size(); ++i) {
                if (std::memcmp(&got[i], &want[i], sizeof(got[i])) != 0) {
                    std::printf("%s %s differs (length %zu, layout %zu) at output element %zu, inputs", level, what,
                                n, c, i);
                    for (std::size_t k = 0; k < N; ++k) {
                        std::uint32_t bits = 0;
                        std::memcpy(&bits, run.in[k] + std::ptrdiff_t(i % n) * run.stride[k], sizeof(In));
                        std::printf(" %#x", bits);
                    }
                    std::uint32_t g = 0, w = 0;
                    std::memcpy(&g, &got[i], sizeof(got[i]));
                    std::memcpy(&w, &want[i], sizeof(want[i]));
                    std::printf(": %#x, baseline %#x\n", g, w);
                    return false;
                }
            }
        }
    }
    return true;
}

template <class T>
bool same_binary(const char* level, const char* type, const ops::BinaryLoops& loops, const ops::BinaryLoops& base) {
    const std::string name = std::string(type) + " op ";
    bool same = true;
    if constexpr (!std::is_same_v<T, bool>)
        for (std::size_t op = 0; op < ew::arithmetic_count; ++op)
            same = same && same_runs(level, (name + std::to_string(op)).c_str(), loops.arithmetic<T>(ew::Arithmetic(op)),
                                     base.arithmetic<T>(ew::Arithmetic(op)));
    for (std::size_t op = 0; op < ew::comparison_count; ++op)
        same = same && same_runs(level, (name + "compare " + std::to_string(op)).c_str(),
                                 loops.compare<T>(ew::Comparison(op)), base.compare<T>(ew::Comparison(op)));
    return same;
}

template <class T>
bool same_gradients(const char* level, const char* type, const backward::DivBackwardLoops<T>& div,
                    const backward::DivBackwardLoops<T>& div_base, auto relu_backward, auto relu_backward_base) {
    const std::string name(type);
    return same_runs(level, (name + " div_backward").c_str(), div.both, div_base.both) &&
           same_runs(level, (name + " div_backward dividend").c_str(), div.dividend, div_base.dividend) &&
           same_runs(level, (name + " div_backward divisor").c_str(), div.divisor, div_base.divisor) &&
           same_runs(level, (name + " relu_backward").c_str(), relu_backward, relu_backward_base);
}

bool same_elementwise(const Level& level, const Level& base) {
    if (!level.elementwise) return true;
    const Elementwise& e = *level.elementwise;
    const Elementwise& b = *base.elementwise;
    bool same = same_binary<float>(level.name, "f32", *e.binary, *b.binary) &&
                same_binary<F16>(level.name, "f16", *e.binary, *b.binary) &&
                same_binary<BF16>(level.name, "bf16", *e.binary, *b.binary) &&
                same_binary<bool>(level.name, "bool", *e.binary, *b.binary);
    for (std::size_t op = 0; op < ew::logical_count; ++op)
        same = same && same_runs(level.name, "logical", e.logical->binary[op], b.logical->binary[op]);
    return same && same_runs(level.name, "logical not", e.logical->negate, b.logical->negate) &&
           same_runs(level.name, "f32 relu", e.relu->f32, b.relu->f32) &&
           same_runs(level.name, "f16 relu", e.relu->f16, b.relu->f16) &&
           same_runs(level.name, "bf16 relu", e.relu->bf16, b.relu->bf16) &&
           same_gradients(level.name, "f32", e.div_backward->f32, b.div_backward->f32, e.relu_backward->f32,
                          b.relu_backward->f32) &&
           same_gradients(level.name, "f16", e.div_backward->f16, b.div_backward->f16, e.relu_backward->f16,
                          b.relu_backward->f16) &&
           same_gradients(level.name, "bf16", e.div_backward->bf16, b.div_backward->bf16, e.relu_backward->bf16,
                          b.relu_backward->bf16);
}

// Widening every 16-bit pattern and narrowing `in`, in chunks of changing
// length so that every tail length is met. Widening a binary16 signalling
// NaN may set its quiet bit (the hardware conversions do), so those compare
// with their quiet bit set.
bool same_conversions(const Level& level, const Level& base, std::span<const float> in) {
    if (!level.matmul) return true;
    using Widen = void (*)(const std::uint16_t*, float*, std::size_t);
    using Narrow = void (*)(const float*, std::uint16_t*, std::size_t);
    const auto chunked = [](auto kernel, const auto* src, auto* dst, std::size_t n) {
        std::size_t length = 1;
        for (std::size_t i = 0; i < n; i += length, length = length % 97 + 1)
            kernel(src + i, dst + i, std::min(length, n - i));
    };
    std::vector<std::uint16_t> halves(0x10000);
    for (std::size_t i = 0; i < halves.size(); ++i) halves[i] = std::uint16_t(i);
    for (auto [name, kernel, reference, quiet_bit] :
         {std::tuple<const char*, Widen, Widen, std::uint32_t>{"widen f16", level.matmul->widen_f16, base.matmul->widen_f16, 0x00400000u},
          {"widen bf16", level.matmul->widen_bf16, base.matmul->widen_bf16, 0u}}) {
        std::vector<float> got(halves.size()), want(halves.size());
        chunked(kernel, halves.data(), got.data(), halves.size());
        chunked(reference, halves.data(), want.data(), halves.size());
        for (std::size_t i = 0; i < halves.size(); ++i) {
            const std::uint32_t g = std::bit_cast<std::uint32_t>(got[i]), w = std::bit_cast<std::uint32_t>(want[i]);
            const bool nan = std::isnan(want[i]);
            if (nan ? (g | quiet_bit) != (w | quiet_bit) : g != w) {
                std::printf("%s %s: %#06zx gives %#010x, baseline %#010x\n", level.name, name, i, g, w);
                return false;
            }
        }
    }
    for (auto [name, kernel, reference] : {std::tuple<const char*, Narrow, Narrow>{"narrow f16", level.matmul->narrow_f16, base.matmul->narrow_f16},
                                           {"narrow bf16", level.matmul->narrow_bf16, base.matmul->narrow_bf16}}) {
        std::vector<std::uint16_t> got(in.size()), want(in.size());
        chunked(kernel, in.data(), got.data(), in.size());
        chunked(reference, in.data(), want.data(), in.size());
        if (!same_bits(level, name, in, got, want)) return false;
    }
    return true;
}

// Every level this processor supports, narrowest (the baseline) first.
std::vector<Level> levels_here() {
    std::vector<Level> levels;
#define PELOR_LEVEL(name, ...) levels.push_back({#name, IsaLevel::name, &pelor::isa::name::cast_kernels, nullptr, nullptr, {}});
    PELOR_ISA_LEVELS(PELOR_LEVEL)
#undef PELOR_LEVEL
#define PELOR_TRANSPOSES(name, ...)                                                                        \
    for (Level& l : levels) {                                                                              \
        if (l.level != IsaLevel::name) continue;                                                           \
        l.transposes = &pelor::isa::name::transpose_kernels;                                               \
        l.matmul = &pelor::isa::name::matmul_kernels;                                                      \
        l.elementwise = Elementwise{&pelor::isa::name::binary_loops, &pelor::isa::name::logical_loops,     \
                                    &pelor::isa::name::relu_kernels, &pelor::isa::name::relu_backward_kernels, \
                                    &pelor::isa::name::div_backward_kernels};                              \
    }
    PELOR_ISA_COMMON_LEVELS(PELOR_TRANSPOSES)
#undef PELOR_TRANSPOSES
    std::erase_if(levels, [](const Level& l) { return !pelor::engine::cpu::cpu_supports(l.level); });
    return levels;
}

}  // namespace

// With --common-levels it only lists the levels this processor runs that
// have every kernel table, narrowest first: .ci/run runs the Python suite at
// each below the widest. (A level with a few tables only, such as the
// bfloat16 cast's, differs from the one below it in just those kernels, which
// this program checks.)
int main(int argc, char** argv) {
    const std::vector<Level> levels = levels_here();
    if (argc == 2 && std::string(argv[1]) == "--common-levels") {
        for (const Level& level : levels)
            if (level.elementwise) std::printf("%s\n", level.name);
        return 0;
    }
    const Level& baseline = levels.front();

    const std::vector<float> inputs = cast_inputs();
    for (const Level& level : levels) {
        if (!same_casts(level, baseline, inputs) || !same_conversions(level, baseline, inputs) ||
            !same_transposes(level) || !same_elementwise(level, baseline))
            return 1;
        std::printf("%s ok\n", level.name);
    }
    return 0;
}
