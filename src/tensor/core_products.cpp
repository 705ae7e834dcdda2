#include "tensor/core_products.hpp"

#include "engine/cpu/numeric/ops/matmul_native.hpp"

namespace pelor::tensor::core {

namespace ops = engine::cpu::numeric::ops;

Result<void> check_product_route_setting() {
    if (const auto& setting = ops::product_route_setting(); !setting) return std::unexpected(setting.error());
    return {};
}

std::vector<ProductRoute> product_routes() {
    return {{"bfloat16", ops::native_route_choice<BF16>().description},
            {"float16", ops::native_route_choice<F16>().description}};
}

Result<std::string> probe_product_route(storage::DType dtype) {
    switch (dtype) {
        case storage::DType::BF16: return ops::probe_native_route<BF16>().description;
        case storage::DType::F16: return ops::probe_native_route<F16>().description;
        default: return value_error("only bfloat16 and float16 products have a native route");
    }
}

#if defined(PELOR_TEST_HOOKS)
void route_float32_products_through_onednn(bool on) { ops::set_float32_products_through_onednn(on); }
#endif

}  // namespace pelor::tensor::core
