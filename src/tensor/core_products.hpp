#pragma once
// What the core reports of the matrix product's routes: whether PELOR_MATMUL
// holds a value the module accepts (asked at import, which fails otherwise),
// and, for the test suite and benchmarks, which route each 16-bit type takes
// and why.
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "tensor/core.hpp"
#include "tensor/dtype.hpp"

namespace pelor::tensor::core {

Result<void> check_product_route_setting();

struct ProductRoute {
    std::string_view dtype;   // "bfloat16", "float16"
    std::string description;  // "native: <oneDNN kernel>, ..." or "float32: <why>"
};

// The decisions for this process (each made now if not made yet).
std::vector<ProductRoute> product_routes();

// The decision made afresh for dtype (bfloat16 or float16), without asking
// whether the processor has a unit: reaches oneDNN on any processor. float32
// measures oneDNN's float32 kernel against BLIS, for the test suite.
Result<std::string> probe_product_route(storage::DType dtype);

// Whether a product of a and b (two bfloat16 or two float16 tensors) could
// take a native unit without losing tiny values (matmul_native.hpp).
Result<bool> exact_on_native_unit(const Tensor& a, const Tensor& b);

#if defined(PELOR_TEST_HOOKS)
// Whether float32 products run through oneDNN's float32 kernels.
void route_float32_products_through_onednn(bool on);
#endif

}  // namespace pelor::tensor::core
