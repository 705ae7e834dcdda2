// The logical run loops at one instruction-set level: byte loops the compiler
// vectorises.
#include "engine/cpu/boolean/ops/logical_loops.hpp"
#include "engine/cpu/elementwise/isa_loops.hpp"
#include "engine/cpu/elementwise/rules.hpp"

namespace pelor::isa::PELOR_ISA {

namespace {

using engine::cpu::elementwise::binary_loop;
using engine::cpu::elementwise::Run;
using u8 = std::uint8_t;
using namespace engine::cpu::elementwise;  // the element rules

template <class Op>
void logical(const Run<bool, 2, bool, 1>& r) {
    binary_loop(reinterpret_cast<const u8*>(r.in[0]), r.stride[0], reinterpret_cast<const u8*>(r.in[1]), r.stride[1],
                reinterpret_cast<u8*>(r.out[0]), r.count, Op{});
}

void negate(const bool* in, bool* out, std::size_t n) {
    const u8* __restrict src = reinterpret_cast<const u8*>(in);
    u8* __restrict dst = reinterpret_cast<u8*>(out);
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[i] ^ 1u;
}

}  // namespace

PELOR_KERNEL_TABLE_DEFINE(logical_loops) = {
#define PELOR_LOGICAL_ROW(name, Rule) logical<Rule>,
    {PELOR_LOGICAL(PELOR_LOGICAL_ROW)},
    negate,
};

}  // namespace pelor::isa::PELOR_ISA
