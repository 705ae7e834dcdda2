// Read-only properties: ndim, dtype, shape, strides, device, requires_grad.
#include "base/py_ref.hpp"
#include "tensor/api/py_tensor.hpp"

namespace pelor::tensor::api {

namespace {

const Storage& storage_of(PyObject* self) { return *unwrap(self).storage; }

template <class Seq, class Convert>
PyObject* to_list(const Seq& seq, Convert convert) {
    PyRef list = PyRef::steal(PyList_New(Py_ssize_t(seq.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < seq.size(); ++i) {
        PyObject* item = convert(seq[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
    }
    return list.release();
}

PyObject* get_ndim(PyObject* self, void*) noexcept { return PyLong_FromSize_t(storage_of(self).ndim()); }

PyObject* get_dtype(PyObject* self, void*) noexcept {
    auto name = storage::lowercase_name(storage_of(self).dtype());
    return PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size()));
}

PyObject* get_shape(PyObject* self, void*) noexcept {
    return to_list(storage_of(self).shape(), [](std::size_t d) { return PyLong_FromSize_t(d); });
}

PyObject* get_strides(PyObject* self, void*) noexcept {
    return to_list(storage_of(self).strides(), [](std::ptrdiff_t s) { return PyLong_FromSsize_t(s); });
}

PyObject* get_device(PyObject*, void*) noexcept { return PyUnicode_FromString("cpu"); }

PyObject* get_requires_grad(PyObject* self, void*) noexcept { return PyBool_FromLong(unwrap(self).requires_grad); }

}  // namespace

PyGetSetDef tensor_getset[] = {
    {"ndim", get_ndim, nullptr, nullptr, nullptr},
    {"dtype", get_dtype, nullptr, nullptr, nullptr},
    {"shape", get_shape, nullptr, nullptr, nullptr},
    {"strides", get_strides, nullptr, nullptr, nullptr},
    {"device", get_device, nullptr, nullptr, nullptr},
    {"requires_grad", get_requires_grad, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace pelor::tensor::api
