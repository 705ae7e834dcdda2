// Gradient kernels on storages: check that the gradient and the saved operands
// share one float element type, run the typed kernel, and wrap its arrays. A
// kernel's message becomes a RuntimeError, a refused allocation a MemoryError.
#include <type_traits>

#include "engine/cpu/numeric/backward/binary.hpp"
#include "engine/cpu/numeric/backward/functional.hpp"
#include "engine/cpu/numeric/backward/matmul.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace pelor::engine::cpu::storage {

namespace {

namespace backward = numeric::backward;

constexpr const char* operands_mismatch = "DType mismatch between gradient and operands during backward pass.";
constexpr const char* input_mismatch = "DType mismatch between gradient and input during unary backward pass.";

template <class T>
constexpr bool is_float = !std::is_same_v<T, bool>;

// Runs kernel(g, a, b) on the typed arrays of (grad, lhs, rhs) when all three
// have one float type.
template <class Kernel>
Result<StoragePair> binary_backward(const Storage& lhs, const Storage& grad, const Storage& rhs, Kernel&& kernel) {
    if (grad.dtype() == DType::Bool || lhs.dtype() != grad.dtype() || rhs.dtype() != grad.dtype())
        return type_error(operands_mismatch);
    return grad.visit([&](const auto& g) -> Result<StoragePair> {
        using T = typename std::decay_t<decltype(g)>::value_type;
        if constexpr (!is_float<T>) {
            return type_error(operands_mismatch);
        } else {
            auto r = kernel(g, *lhs.get_if<T>(), *rhs.get_if<T>());
            if (!r) return kernel_failure(std::move(r.error()));
            StoragePair out;
            if (r->first) out.first.emplace(std::move(*r->first));
            if (r->second) out.second.emplace(std::move(*r->second));
            return out;
        }
    });
}

}  // namespace

Result<StoragePair> CpuStorage::backward_mul(const Storage& lhs, const Storage& grad, const Storage& rhs,
                                             Wanted wanted) {
    return binary_backward(lhs, grad, rhs, [wanted](const auto& g, const auto& a, const auto& b) {
        return backward::mul_backward(g, a, b, wanted);
    });
}

Result<StoragePair> CpuStorage::backward_div(const Storage& lhs, const Storage& grad, const Storage& rhs,
                                             Wanted wanted) {
    return binary_backward(lhs, grad, rhs, [wanted](const auto& g, const auto& a, const auto& b) {
        return backward::div_backward(g, a, b, wanted);
    });
}

Result<StoragePair> CpuStorage::backward_matmul(const Storage& lhs, const Storage& grad, const Storage& rhs,
                                             Wanted wanted) {
    return binary_backward(lhs, grad, rhs, [wanted](const auto& g, const auto& a, const auto& b) {
        return backward::matmul_backward(g, a, b, wanted);
    });
}

Result<Storage> CpuStorage::backward_relu(const Storage& input, const Storage& grad) {
    if (grad.dtype() == DType::Bool || input.dtype() != grad.dtype()) return type_error(input_mismatch);
    return grad.visit([&](const auto& g) -> Result<Storage> {
        using T = typename std::decay_t<decltype(g)>::value_type;
        if constexpr (!is_float<T>) {
            return type_error(input_mismatch);
        } else {
            auto r = backward::relu_backward(g, *input.get_if<T>());
            if (!r) return kernel_failure(std::move(r.error()));
            return Storage(std::move(*r));
        }
    });
}

}  // namespace pelor::engine::cpu::storage
