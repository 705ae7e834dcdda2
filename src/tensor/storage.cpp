#include "tensor/storage.hpp"

namespace pelor::tensor::storage {

std::string_view display_name(DType d) {
    switch (d) {
        case DType::F16: return "F16";
        case DType::BF16: return "BF16";
        case DType::F32: return "F32";
        case DType::Bool: return "Bool";
    }
    return "?";
}

std::string_view lowercase_name(DType d) {
    switch (d) {
        case DType::F16: return "f16";
        case DType::BF16: return "bf16";
        case DType::F32: return "f32";
        case DType::Bool: return "bool";
    }
    return "?";
}

}  // namespace pelor::tensor::storage
