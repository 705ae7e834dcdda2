#pragma once
// One 2-D single-precision product through BLIS.
#include <cstddef>

namespace pelor::engine::cpu::numeric::ops {

// Whether BLIS accepts an m × n matrix with these row and column strides
// (its own stride rules). Strides of length-1 axes must be normalised first.
bool blis_strides_valid(std::size_t m, std::size_t n, std::ptrdiff_t rs, std::ptrdiff_t cs);

// c = a · b with m, n, k > 0; c is row-major with row stride n. The strides
// are the operands' own; the caller has normalised them and checked them
// with blis_strides_valid. BLIS does not read c (beta is 0).
void blis_sgemm(std::size_t m, std::size_t n, std::size_t k, const float* a, std::ptrdiff_t a_rs,
                std::ptrdiff_t a_cs, const float* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs, float* c);

}  // namespace pelor::engine::cpu::numeric::ops
