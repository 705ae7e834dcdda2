#pragma once
// Refusals that several storage operations (and the gradient rules built on
// them) share, so that each text is written once.
#include <string>

#include "base/error.hpp"
#include "base/shape.hpp"
#include "tensor/storage.hpp"

namespace pelor::engine::cpu::storage {

inline std::unexpected<Error> bool_arithmetic_refused() {
    return type_error("Arithmetic operations are not supported for Bool data types. Cast to a numeric type first.");
}

inline std::unexpected<Error> dtype_mismatch(tensor::storage::DType a, tensor::storage::DType b) {
    using tensor::storage::display_name;
    return value_error("Tensor DType mismatch during binary execution. Cannot operate between " +
                       std::string(display_name(a)) + " and " + std::string(display_name(b)) + ".");
}

inline std::unexpected<Error> reshape_refused(ShapeError e) {
    return value_error("Error while reshape: " + shape_error_text(e));
}

}  // namespace pelor::engine::cpu::storage
