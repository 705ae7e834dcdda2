#pragma once
// What the test suite reads of the module's internals and users never see:
// compiled only into the project's own builds (PELOR_TEST_HOOKS, off for an
// installed package), as private attributes outside __all__.
#include <Python.h>

namespace pelor {

// 0 on success, -1 with an exception set.
int add_test_hooks(PyObject* module);

}  // namespace pelor
