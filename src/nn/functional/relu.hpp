#pragma once
#include <Python.h>

namespace pelor::nn::functional {

// relu(py_tensor): the rectifier, recording a ReluNode when the input
// requires gradients (before computing, as the core operations do).
PyObject* relu(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

}  // namespace pelor::nn::functional
