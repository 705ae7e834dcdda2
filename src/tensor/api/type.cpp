#include <vector>

#include "base/py_ref.hpp"
#include "tensor/api/py_tensor.hpp"

namespace pelor::tensor::api {

namespace {

void tensor_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<PyTensor*>(self)->value.~Tensor();
    tp->tp_free(self);
    Py_DECREF(tp);  // instances of heap types own a reference to their type
}

constexpr const char* class_doc = "Tensor(data, dtype=None, device=\"cpu\", requires_grad=False)\n--\n\n";

PyObject* create_type() {
    std::vector<PyType_Slot> slots = {
        {Py_tp_new, reinterpret_cast<void*>(tensor_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(tensor_dealloc)},
        {Py_tp_doc, const_cast<char*>(class_doc)},
        {Py_tp_getset, tensor_getset},
        {Py_tp_methods, tensor_methods},
    };
    for (PyType_Slot* s = tensor_operator_slots; s->slot; ++s) slots.push_back(*s);
    slots.push_back({0, nullptr});
    // No BASETYPE (no subclassing), no GC (an instance refers to no Python
    // object), no dict and no weak references.
    PyType_Spec spec = {
        "pelor.Tensor",
        sizeof(PyTensor),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
        slots.data(),
    };
    PyObject* type = PyType_FromSpec(&spec);
    // NumPy defers to a class whose __array_ufunc__ is None: an array or a
    // NumPy scalar beside a tensor then reaches the tensor's own operator
    // slots instead of treating the tensor as an opaque object element. The
    // class is immutable from Python, so the attribute goes into its
    // dictionary here, before anyone can see the class.
    if (type && PyDict_SetItemString(reinterpret_cast<PyTypeObject*>(type)->tp_dict, "__array_ufunc__", Py_None) < 0)
        Py_CLEAR(type);
    if (type) PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
    if (!type) {
        // Chain the underlying error as the cause of a RuntimeError.
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_RuntimeError, "failed to initialise the class 'Tensor'");
        PyObject* err = PyErr_GetRaisedException();
        PyException_SetCause(err, cause);
        PyErr_SetRaisedException(err);
    }
    return type;
}

// Created once and kept until the process ends. The mutex detaches the
// waiting thread, so a race never blocks the interpreter.
PyMutex type_mutex;
PyTypeObject* type_object = nullptr;

}  // namespace

PyTypeObject* tensor_type() {
    if (PyTypeObject* t = __atomic_load_n(&type_object, __ATOMIC_ACQUIRE)) return t;
    PyMutex_Lock(&type_mutex);
    if (!type_object) __atomic_store_n(&type_object, reinterpret_cast<PyTypeObject*>(create_type()), __ATOMIC_RELEASE);
    PyTypeObject* t = type_object;
    PyMutex_Unlock(&type_mutex);
    return t;
}

PyObject* wrap(Tensor t) {
    PyTypeObject* tp = tensor_type();
    if (!tp) return nullptr;
    PyObject* obj = tp->tp_alloc(tp, 0);
    if (!obj) return nullptr;
    new (&reinterpret_cast<PyTensor*>(obj)->value) Tensor(std::move(t));
    return obj;
}

PyObject* raise(const Error& e) {
    switch (e.kind) {
        case ErrorKind::TypeError: PyErr_SetString(PyExc_TypeError, e.message.c_str()); break;
        case ErrorKind::ValueError: PyErr_SetString(PyExc_ValueError, e.message.c_str()); break;
        case ErrorKind::RuntimeError: PyErr_SetString(PyExc_RuntimeError, e.message.c_str()); break;
        case ErrorKind::MemoryError: PyErr_SetString(PyExc_MemoryError, e.message.c_str()); break;
        case ErrorKind::ImportError: PyErr_SetString(PyExc_ImportError, e.message.c_str()); break;
        case ErrorKind::PythonError:
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error reported without an exception");
            break;
    }
    return nullptr;
}

}  // namespace pelor::tensor::api
