#include "tensor/core_products.hpp"

#include <optional>

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
        // oneDNN's float32 kernels against BLIS: the measurement runs on any processor.
        case storage::DType::F32: return ops::probe_native_route<float>().description;
        default: return value_error("a product route is measured for bfloat16, float16 or float32");
    }
}

Result<bool> exact_on_native_unit(const Tensor& a, const Tensor& b) {
    auto of_type = [&]<class T>() -> std::optional<bool> {
        const NdArray<T>* x = a.storage->get_if<T>();
        const NdArray<T>* y = b.storage->get_if<T>();
        if (!x || !y) return std::nullopt;
        return ops::exact_on_native_unit(x->data(), x->size(), y->data(), y->size());
    };
    if (const auto exact = of_type.operator()<BF16>()) return *exact;
    if (const auto exact = of_type.operator()<F16>()) return *exact;
    return value_error("two bfloat16 or two float16 tensors");
}

#if defined(PELOR_TEST_HOOKS)
void route_float32_products_through_onednn(bool on) { ops::set_float32_products_through_onednn(on); }
#endif

}  // namespace pelor::tensor::core
