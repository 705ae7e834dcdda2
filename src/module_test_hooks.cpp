#include "module_test_hooks.hpp"

#include <string_view>

#include "base/py_ref.hpp"
#include "tensor/core_isa.hpp"

namespace pelor {

namespace {

int set_level(PyObject* dict, const char* table, std::string_view level) {
    PyRef name = PyRef::steal(PyUnicode_FromStringAndSize(level.data(), Py_ssize_t(level.size())));
    if (!name) return -1;
    return PyDict_SetItemString(dict, table, name.get());
}

// _selected_kernel_levels() -> {"relu": level, "casts": level}.
PyObject* selected_kernel_levels(PyObject*, PyObject*) {
    const tensor::core::SelectedKernelLevels levels = tensor::core::selected_kernel_levels();
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    if (set_level(dict.get(), "relu", levels.relu) < 0 || set_level(dict.get(), "casts", levels.casts) < 0)
        return nullptr;
    return dict.release();
}

PyMethodDef hooks[] = {
    {"_selected_kernel_levels", selected_kernel_levels, METH_NOARGS, "_selected_kernel_levels()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_test_hooks(PyObject* module) { return PyModule_AddFunctions(module, hooks); }

}  // namespace pelor
