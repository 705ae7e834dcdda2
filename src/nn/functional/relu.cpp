#include "nn/functional/relu.hpp"

#include "base/detached.hpp"
#include "tensor/api/py_tensor.hpp"

namespace pelor::nn::functional {

namespace {

// The single argument `py_tensor`, by position or keyword; null with an
// exception set.
PyObject* parse_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_CompareWithASCIIString(key, "py_tensor") != 0)
            return PyErr_Format(PyExc_TypeError, "relu() got an unexpected keyword argument '%U'", key);
    }
    if (nargs + nkw > 1)
        return PyErr_Format(PyExc_TypeError, "relu() takes exactly one argument (%zd given)", nargs + nkw);
    if (nargs + nkw == 0)
        return PyErr_Format(PyExc_TypeError, "relu() missing required argument 'py_tensor' (pos 1)");
    PyObject* arg = args[0];
    if (!tensor::api::is_tensor(arg))
        return PyErr_Format(PyExc_TypeError, "relu() argument 'py_tensor' must be pelor.Tensor, not %.200s",
                            Py_TYPE(arg)->tp_name);
    return arg;
}

}  // namespace

PyObject* relu(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* arg = parse_argument(args, nargs, kwnames);
    if (!arg) return nullptr;
    const tensor::core::Tensor& in = tensor::api::unwrap(arg);
    // Recording and computing run detached from the interpreter when long.
    return tensor::api::wrap(run_detached(in.storage->size(), [&] { return tensor::core::relu(in); }));
}

}  // namespace pelor::nn::functional
