// The binary run loops at one instruction-set level (compiled once per level
// with PELOR_ISA naming it). binary32 and Bool runs are plain loops the
// compiler vectorises; binary16 and bfloat16 runs compute in binary32 over
// blocks (elementwise/isa_loops.hpp).
#include "engine/cpu/elementwise/isa_loops.hpp"
#include "engine/cpu/elementwise/rules.hpp"
#include "engine/cpu/numeric/ops/binary_loops.hpp"

namespace pelor::isa::PELOR_ISA {

namespace {

using engine::cpu::elementwise::binary_loop;
using engine::cpu::elementwise::BF16Blocks;
using engine::cpu::elementwise::F16Blocks;
using engine::cpu::elementwise::half_binary_loop;
using engine::cpu::elementwise::Run;
using u8 = std::uint8_t;
using namespace engine::cpu::elementwise;  // the element rules
using u16 = std::uint16_t;

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

// One row per operation of op_list.hpp, in its order.
#define PELOR_F32_ARITH(name, Rule, ...) f32_arith<Rule>,
#define PELOR_F16_ARITH(name, Rule, ...) half_arith<F16Blocks, F16, Rule>,
#define PELOR_BF16_ARITH(name, Rule, ...) half_arith<BF16Blocks, BF16, Rule>,
#define PELOR_F32_COMPARE(name, Rule, ...) f32_compare<Rule>,
#define PELOR_F16_COMPARE(name, Rule, ...) half_compare<F16Blocks, F16, Rule>,
#define PELOR_BF16_COMPARE(name, Rule, ...) half_compare<BF16Blocks, BF16, Rule>,
#define PELOR_BOOL_COMPARE(name, Rule, ...) bool_compare<Rule>,
PELOR_KERNEL_TABLE_DEFINE(binary_loops) = {
    {PELOR_ARITHMETIC(PELOR_F32_ARITH)},    {PELOR_ARITHMETIC(PELOR_F16_ARITH)},
    {PELOR_ARITHMETIC(PELOR_BF16_ARITH)},   {PELOR_COMPARISONS(PELOR_F32_COMPARE)},
    {PELOR_COMPARISONS(PELOR_F16_COMPARE)}, {PELOR_COMPARISONS(PELOR_BF16_COMPARE)},
    {PELOR_COMPARISONS(PELOR_BOOL_COMPARE)},
};

}  // namespace pelor::isa::PELOR_ISA
