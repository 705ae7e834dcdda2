#include "module_add.hpp"

#include <cstring>

#include "base/py_ref.hpp"

namespace pelor {

int add_to_module(PyObject* module, const char* name, PyObject* obj) {
    PyObject* raw = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &raw) < 0) return -1;
    PyRef all = PyRef::steal(raw);
    if (!all) {
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    } else if (!PyList_Check(all.get())) {
        PyErr_Format(PyExc_TypeError, "__all__ must be a list, not %.200s", Py_TYPE(all.get())->tp_name);
        return -1;
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text) return -1;
    if (PyList_Append(all.get(), text.get()) < 0) Py_FatalError("could not append __name__ to __all__");
    return PyObject_SetAttrString(module, name, obj);
}

namespace {
PyRef name_of(PyObject* obj) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(obj, "__name__"));
    if (name && !PyUnicode_Check(name.get())) {
        PyErr_Format(PyExc_TypeError, "__name__ must be str, not %.200s", Py_TYPE(name.get())->tp_name);
        return {};
    }
    return name;
}
}  // namespace

int add_function(PyObject* module, PyObject* function) {
    PyRef name = name_of(function);
    if (!name) return -1;
    const char* text = PyUnicode_AsUTF8(name.get());
    return text ? add_to_module(module, text, function) : -1;
}

int add_submodule(PyObject* module, PyObject* submodule) {
    PyRef name = name_of(submodule);
    if (!name) return -1;
    const char* text = PyUnicode_AsUTF8(name.get());
    if (!text) return -1;
    const char* dot = std::strrchr(text, '.');
    return add_to_module(module, dot ? dot + 1 : text, submodule);
}

}  // namespace pelor
