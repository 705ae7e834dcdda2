#pragma once
// 16-bit products on the processor's own dot-product unit (AMX tiles,
// AVX512-BF16) through oneDNN, where that is faster than the float32 route.
//
// The float32 route widens both operands exactly, multiplies in binary32 and
// rounds once. The native units also multiply exactly and round once, but sum
// in their own order (at least as accurately as binary32), and they treat
// subnormal inputs as zero and flush subnormal products and partial sums to
// zero. A product takes the native route only when that cannot happen (see
// exact_on_native_unit), when oneDNN runs it on the unit for its shape, and
// when a measurement at the first such product showed the unit faster.
//
// Nothing here starts a thread: oneDNN's primitives are made and run with the
// calling thread's OpenMP thread count at 1 (restored afterwards).
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/error.hpp"
#include "base/half.hpp"
#include "engine/cpu/numeric/ops/matmul.hpp"

namespace pelor::engine::cpu::numeric::ops {

// PELOR_MATMUL: unset, empty or "auto" lets 16-bit products use a native unit;
// "float32" keeps every product on the float32 route, for the same bits on
// every machine. Any other value refuses the import (ImportError). Read once.
enum class ProductRouteSetting { automatic, float32 };
const Result<ProductRouteSetting>& product_route_setting();

// What was decided for one element type, and why, in words for the test
// suite and the benchmarks ("native: brg_matmul:..." or "float32: <reason>").
struct NativeRouteChoice {
    bool native = false;
    std::string description;
};

// The decision for BF16 or F16, made once per process at the first product
// that could use it (thread-safe static).
template <class T>
const NativeRouteChoice& native_route_choice();

// The same decision made afresh, without asking whether the processor has a
// unit at all: loads oneDNN and measures if it offers one. For the test suite,
// which can so reach the library on any processor (with T = float, the
// measurement itself: oneDNN's float32 kernels against BLIS).
template <class T>
NativeRouteChoice probe_native_route();

// Products with fewer multiply-adds per matrix stay on the float32 route,
// where the direct loop costs less than a library call.
inline constexpr std::size_t native_min_work = std::size_t(32) * 32 * 32;

// Whether a product of these operands gives the float32 route's result on a
// unit that flushes subnormals: no operand holds a subnormal, an infinity or
// a NaN, and every non-zero partial sum is a normal number. Products of the
// widened values are exact, so each is a multiple of
// 2^(eA,min - p + eB,min - p), eX,min the exponent of X's smallest non-zero
// magnitude and p the fraction bits; so is every sum of them, and every
// rounding of such a sum to binary32. If that quantum is at least 2^-126, no
// non-zero partial sum can be subnormal. `a` and `b` are dense element runs.
template <class T>
bool exact_on_native_unit(const T* a, std::size_t a_count, const T* b, std::size_t b_count);

// out = a · b for every batch index through oneDNN (stacks as for
// batched_matmul). False when oneDNN would not run some matrix on the native
// unit, or a scratch copy could not be allocated: the caller then takes the
// float32 route for the whole product (out may be partly written).
template <class T>
bool native_batched_matmul(const MatrixStack<T>& out, const MatrixStack<const T>& a, const MatrixStack<const T>& b);

#if defined(PELOR_TEST_HOOKS)
// The test suite sends float32 products through oneDNN's float32 kernels to
// check this route's handling of layouts, batches, threads and the cache on
// processors without a 16-bit unit.
void set_float32_products_through_onednn(bool on);
bool float32_products_through_onednn();
#endif

}  // namespace pelor::engine::cpu::numeric::ops
