// The extension module: multi-phase initialisation, the class Tensor and the
// nested modules nn and nn.functional.
#include <Python.h>

#include "base/py_ref.hpp"
#include "module_add.hpp"
#include "nn/functional/functional.hpp"
#include "tensor/api/py_tensor.hpp"
#include "tensor/core_isa.hpp"
#include "tensor/core_products.hpp"
#ifdef PELOR_TEST_HOOKS
#include "module_test_hooks.hpp"
#endif

namespace pelor {

namespace {

int exec_module(PyObject* module) noexcept {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "expected a module, got %.200s", Py_TYPE(module)->tp_name);
        return -1;
    }
    // PELOR_ISA names a level the kernels cannot use, or PELOR_MATMUL a route
    // that does not exist: refuse to load rather than run another route than
    // the one asked for.
    for (Result<void> (*check)() : {tensor::core::check_isa_choice, tensor::core::check_product_route_setting})
        if (Result<void> checked = check(); !checked) {
            tensor::api::raise(checked.error());
            return -1;
        }
    PyTypeObject* type = tensor::api::tensor_type();
    if (!type) return -1;
    if (add_to_module(module, "Tensor", reinterpret_cast<PyObject*>(type)) < 0) return -1;

    PyRef nn = PyRef::steal(PyModule_New("nn"));
    if (!nn) return -1;
    if (nn::functional::init_submodule(nn.get()) < 0) return -1;
#ifdef PELOR_TEST_HOOKS
    if (add_test_hooks(module) < 0) return -1;
#endif
    return add_submodule(module, nn.get());
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pelor_core",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace pelor

PyMODINIT_FUNC PyInit_pelor_core() { return PyModuleDef_Init(&pelor::module_def); }
