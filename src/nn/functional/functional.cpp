#include "nn/functional/functional.hpp"

#include "base/py_ref.hpp"
#include "module_add.hpp"
#include "nn/functional/relu.hpp"

namespace pelor::nn::functional {

namespace {
PyMethodDef relu_def = {"relu", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(relu)),
                        METH_FASTCALL | METH_KEYWORDS, "relu(py_tensor)\n--\n\n"};
}

int init_submodule(PyObject* nn) {
    PyRef functional = PyRef::steal(PyModule_New("functional"));
    if (!functional) return -1;
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(functional.get()));
    if (!module_name) return -1;
    PyRef fn = PyRef::steal(PyCMethod_New(&relu_def, functional.get(), module_name.get(), nullptr));
    if (!fn) return -1;
    if (add_function(functional.get(), fn.get()) < 0) return -1;
    return add_submodule(nn, functional.get());
}

}  // namespace pelor::nn::functional
