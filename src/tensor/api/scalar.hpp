#pragma once
// Python numbers as the binary32 scalars of the core's tensor-scalar
// operations.
#include <Python.h>

#include <optional>

namespace pelor::tensor::api {

// The interpreter's float conversion (float, int, bool, __float__, __index__),
// then narrowed to binary32 (out-of-range magnitudes become infinities).
// nullopt with the conversion's exception set; each caller decides whether
// that is an error.
inline std::optional<float> to_binary32(PyObject* o) {
    const double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) return std::nullopt;
    return static_cast<float>(d);
}

}  // namespace pelor::tensor::api
