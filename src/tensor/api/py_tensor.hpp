#pragma once
// The Python class Tensor: an object header followed by one core Tensor value.
// This layer converts arguments, calls one core operation and turns an error
// value into a Python exception; nothing else.
#include <Python.h>

#include "base/error.hpp"
#include "tensor/core.hpp"

namespace pelor::tensor::api {

using core::Tensor;
using storage::Storage;

struct PyTensor {
    PyObject_HEAD
    Tensor value;
};

// The type object, created on first use (once per process, thread-safe).
// Returns a borrowed reference, or null with an exception set.
PyTypeObject* tensor_type();

inline bool is_tensor(PyObject* o) {
    PyTypeObject* t = tensor_type();
    return t && Py_IS_TYPE(o, t);  // the class cannot be subclassed
}
inline const Tensor& unwrap(PyObject* o) { return reinterpret_cast<PyTensor*>(o)->value; }

// A new Python Tensor holding `t`; null with an exception set on failure.
PyObject* wrap(Tensor t);

// Raises `e` and returns null.
PyObject* raise(const Error& e);

// wrap() on success, raise() on failure.
inline PyObject* wrap(Result<Tensor> r) { return r ? wrap(std::move(*r)) : raise(r.error()); }

// Slot and method implementations, one group per file.
PyObject* tensor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;  // construct.cpp
extern PyGetSetDef tensor_getset[];                                                     // properties.cpp
extern PyMethodDef tensor_methods[];                                                    // methods.cpp
extern PyType_Slot tensor_operator_slots[];  // operators.cpp, terminated by {0, nullptr}

}  // namespace pelor::tensor::api
