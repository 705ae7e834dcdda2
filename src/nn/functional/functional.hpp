#pragma once
#include <Python.h>

namespace pelor::nn::functional {

// Creates the module "functional" with relu and adds it to `nn`.
int init_submodule(PyObject* nn);

}  // namespace pelor::nn::functional
