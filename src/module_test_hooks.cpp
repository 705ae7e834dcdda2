#include "module_test_hooks.hpp"

#include <string>
#include <string_view>

#include "base/py_ref.hpp"
#include "tensor/api/py_tensor.hpp"
#include "tensor/core_isa.hpp"
#include "tensor/core_products.hpp"
#include "tensor/dtype.hpp"

namespace pelor {

namespace {

int set_text(PyObject* dict, const char* key, std::string_view text) {
    PyRef value = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
    if (!value) return -1;
    return PyDict_SetItemString(dict, key, value.get());
}

// _selected_kernel_levels() -> {"relu": level, "casts": level}.
PyObject* selected_kernel_levels(PyObject*, PyObject*) {
    const tensor::core::SelectedKernelLevels levels = tensor::core::selected_kernel_levels();
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    if (set_text(dict.get(), "relu", levels.relu) < 0 || set_text(dict.get(), "casts", levels.casts) < 0)
        return nullptr;
    return dict.release();
}

// _product_routes() -> {"bfloat16": description, "float16": description}.
PyObject* product_routes(PyObject*, PyObject*) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const tensor::core::ProductRoute& route : tensor::core::product_routes())
        if (set_text(dict.get(), std::string(route.dtype).c_str(), route.description) < 0) return nullptr;
    return dict.release();
}

// _probe_product_route(dtype_name) -> description, decided afresh.
PyObject* probe_product_route(PyObject*, PyObject* arg) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(arg, &size);
    if (!text) return nullptr;
    const auto dtype = tensor::storage::dtype_for_name(std::string_view(text, std::size_t(size)));
    if (!dtype) {
        PyErr_SetString(PyExc_ValueError, "unknown dtype");
        return nullptr;
    }
    Result<std::string> route;
    Py_BEGIN_ALLOW_THREADS route = tensor::core::probe_product_route(*dtype);
    Py_END_ALLOW_THREADS
    if (!route) return tensor::api::raise(route.error());
    return PyUnicode_FromStringAndSize(route->data(), Py_ssize_t(route->size()));
}

// _float32_products_through_onednn(flag): the float32 products' route.
PyObject* float32_products_through_onednn(PyObject*, PyObject* arg) {
    const int on = PyObject_IsTrue(arg);
    if (on < 0) return nullptr;
    tensor::core::route_float32_products_through_onednn(on != 0);
    Py_RETURN_NONE;
}

// _exact_on_native_unit(a, b) -> bool, for two 16-bit tensors of one type.
PyObject* exact_on_native_unit(PyObject*, PyObject* args) {
    PyObject *a, *b;
    if (!PyArg_ParseTuple(args, "OO", &a, &b)) return nullptr;
    if (!tensor::api::is_tensor(a) || !tensor::api::is_tensor(b)) {
        PyErr_SetString(PyExc_TypeError, "two tensors");
        return nullptr;
    }
    const Result<bool> exact = tensor::core::exact_on_native_unit(tensor::api::unwrap(a), tensor::api::unwrap(b));
    if (!exact) return tensor::api::raise(exact.error());
    return PyBool_FromLong(*exact);
}

PyMethodDef hooks[] = {
    {"_selected_kernel_levels", selected_kernel_levels, METH_NOARGS, "_selected_kernel_levels()\n--\n\n"},
    {"_product_routes", product_routes, METH_NOARGS, "_product_routes()\n--\n\n"},
    {"_probe_product_route", probe_product_route, METH_O, "_probe_product_route(dtype)\n--\n\n"},
    {"_exact_on_native_unit", exact_on_native_unit, METH_VARARGS, "_exact_on_native_unit(a, b)\n--\n\n"},
    {"_float32_products_through_onednn", float32_products_through_onednn, METH_O,
     "_float32_products_through_onednn(on)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_test_hooks(PyObject* module) { return PyModule_AddFunctions(module, hooks); }

}  // namespace pelor
