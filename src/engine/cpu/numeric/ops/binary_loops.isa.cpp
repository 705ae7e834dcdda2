// The binary run loops at one instruction-set level (compiled once per level
// with PELOR_ISA naming it). binary32 and Bool runs are plain loops the
// compiler vectorises; binary16 and bfloat16 runs compute in binary32 over
// blocks (elementwise/isa_loops.hpp).
#include "engine/cpu/elementwise/isa_loops.hpp"
#include "engine/cpu/numeric/ops/binary_loops.hpp"

namespace pelor::isa::PELOR_ISA {

namespace {

using engine::cpu::elementwise::binary_loop;
using engine::cpu::elementwise::BF16Blocks;
using engine::cpu::elementwise::F16Blocks;
using engine::cpu::elementwise::half_binary_loop;
using engine::cpu::elementwise::Run;
using u8 = std::uint8_t;
using u16 = std::uint16_t;

// Element rules; the arithmetic ones also take the compiler's vector types.
struct Add {
    template <class V> V operator()(V a, V b) const { return a + b; }
};
struct Sub {
    template <class V> V operator()(V a, V b) const { return a - b; }
};
struct Mul {
    template <class V> V operator()(V a, V b) const { return a * b; }
};
struct Div {
    template <class V> V operator()(V a, V b) const { return a / b; }
};
// IEEE comparisons: false whenever a NaN takes part; +0 == -0. On Bool bytes
// false (0) is less than true (1).
struct Eq {
    template <class V> u8 operator()(V a, V b) const { return a == b; }
};
struct Ge {
    template <class V> u8 operator()(V a, V b) const { return a >= b; }
};
struct Gt {
    template <class V> u8 operator()(V a, V b) const { return a > b; }
};
struct Le {
    template <class V> u8 operator()(V a, V b) const { return a <= b; }
};
struct Lt {
    template <class V> u8 operator()(V a, V b) const { return a < b; }
};

template <class T>
const u16* bits(const T* p) { return reinterpret_cast<const u16*>(p); }

template <class Op>
void f32_arith(const Run<float, 2, float, 1>& r) {
    binary_loop(r.in[0], r.stride[0], r.in[1], r.stride[1], r.out[0], r.count, Op{});
}
template <class Op>
void f32_compare(const Run<float, 2, bool, 1>& r) {
    binary_loop(r.in[0], r.stride[0], r.in[1], r.stride[1], reinterpret_cast<u8*>(r.out[0]), r.count, Op{});
}

template <class Conv, class T, class Op>
void half_arith(const Run<T, 2, T, 1>& r) {
    half_binary_loop<Conv>(bits(r.in[0]), r.stride[0], bits(r.in[1]), r.stride[1],
                           reinterpret_cast<u16*>(r.out[0]), r.count, Op{});
}
template <class Conv, class T, class Op>
void half_compare(const Run<T, 2, bool, 1>& r) {
    half_binary_loop<Conv>(bits(r.in[0]), r.stride[0], bits(r.in[1]), r.stride[1],
                           reinterpret_cast<u8*>(r.out[0]), r.count, Op{});
}

template <class Op>
void bool_compare(const Run<bool, 2, bool, 1>& r) {
    binary_loop(reinterpret_cast<const u8*>(r.in[0]), r.stride[0], reinterpret_cast<const u8*>(r.in[1]), r.stride[1],
                reinterpret_cast<u8*>(r.out[0]), r.count, Op{});
}

}  // namespace

PELOR_KERNEL_TABLE_DEFINE(binary_loops) = {
    {f32_arith<Add>, f32_arith<Sub>, f32_arith<Mul>, f32_arith<Div>},
    {half_arith<F16Blocks, F16, Add>, half_arith<F16Blocks, F16, Sub>, half_arith<F16Blocks, F16, Mul>,
     half_arith<F16Blocks, F16, Div>},
    {half_arith<BF16Blocks, BF16, Add>, half_arith<BF16Blocks, BF16, Sub>, half_arith<BF16Blocks, BF16, Mul>,
     half_arith<BF16Blocks, BF16, Div>},
    {f32_compare<Eq>, f32_compare<Ge>, f32_compare<Gt>, f32_compare<Le>, f32_compare<Lt>},
    {half_compare<F16Blocks, F16, Eq>, half_compare<F16Blocks, F16, Ge>, half_compare<F16Blocks, F16, Gt>,
     half_compare<F16Blocks, F16, Le>, half_compare<F16Blocks, F16, Lt>},
    {half_compare<BF16Blocks, BF16, Eq>, half_compare<BF16Blocks, BF16, Ge>, half_compare<BF16Blocks, BF16, Gt>,
     half_compare<BF16Blocks, BF16, Le>, half_compare<BF16Blocks, BF16, Lt>},
    {bool_compare<Eq>, bool_compare<Ge>, bool_compare<Gt>, bool_compare<Le>, bool_compare<Lt>},
};

}  // namespace pelor::isa::PELOR_ISA
