#pragma once
// Adding an object to a module: its name is appended to the module's __all__
// (created when missing) and the attribute is set.
#include <Python.h>

namespace pelor {

// 0 on success, -1 with an exception set.
int add_to_module(PyObject* module, const char* name, PyObject* obj);
// A function under its __name__.
int add_function(PyObject* module, PyObject* function);
// A submodule under its __name__ after the last ".".
int add_submodule(PyObject* module, PyObject* submodule);

}  // namespace pelor
