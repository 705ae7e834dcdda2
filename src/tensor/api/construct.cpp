// Tensor(data, dtype=None, device="cpu", requires_grad=False)
#include <string_view>

#include "base/py_ref.hpp"
#include "tensor/api/numpy_interchange.hpp"
#include "tensor/api/py_tensor.hpp"
#include "tensor/core_graph.hpp"

namespace pelor::tensor::api {

namespace {

using storage::DType;

// NumPy is not imported for this test: if it is not loaded yet, the object
// cannot be one of its scalars.
bool is_numpy_bool(PyObject* o) {
    PyRef name = PyRef::steal(PyUnicode_FromString("numpy"));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    PyRef numpy = PyRef::steal(PyImport_GetModule(name.get()));
    if (!numpy) {
        PyErr_Clear();
        return false;
    }
    PyRef bool_type = PyRef::steal(PyObject_GetAttrString(numpy.get(), "bool_"));
    if (!bool_type || !PyType_Check(bool_type.get())) {
        PyErr_Clear();
        return false;
    }
    return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(bool_type.get()));
}

// The dtype argument resolved to a str; null with an exception set.
PyRef resolve_dtype_name(PyObject* dtype) {
    if (dtype == nullptr || dtype == Py_None) return PyRef::steal(PyUnicode_FromString("float32"));
    if (PyUnicode_Check(dtype)) return PyRef::borrow(dtype);
    PyObject* raw = nullptr;
    if (PyObject_GetOptionalAttrString(dtype, "__name__", &raw) < 0) return {};
    PyRef name = PyRef::steal(raw);
    if (!name) {
        PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
        if (!numpy) return {};
        PyRef descr = PyRef::steal(PyObject_CallMethod(numpy.get(), "dtype", "O", dtype));
        if (!descr) return {};
        name = PyRef::steal(PyObject_GetAttrString(descr.get(), "name"));
        if (!name) return {};
    }
    if (!PyUnicode_Check(name.get())) {
        PyErr_Format(PyExc_TypeError, "dtype name must be str, not %.200s", Py_TYPE(name.get())->tp_name);
        return {};
    }
    return name;
}

// numpy.array(data, dtype=<NumPy's name of dtype>) imported into a storage.
Result<Storage> convert_with_numpy(PyObject* numpy, PyObject* data, DType dtype) {
    PyRef array_fn = PyRef::steal(PyObject_GetAttrString(numpy, "array"));
    if (!array_fn) return python_error();
    const std::string_view numpy_name = storage::numpy_name(dtype);
    PyRef call_args = PyRef::steal(PyTuple_Pack(1, data));
    PyRef call_kwargs = PyRef::steal(Py_BuildValue("{s:s#}", "dtype", numpy_name.data(), Py_ssize_t(numpy_name.size())));
    if (!call_args || !call_kwargs) return python_error();
    PyRef array = PyRef::steal(PyObject_Call(array_fn.get(), call_args.get(), call_kwargs.get()));
    if (!array) {
        if (dtype == DType::BF16) note_how_to_register_bfloat16();
        return python_error();
    }
    return import_ndarray(array.get(), dtype);
}

}  // namespace

PyObject* tensor_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"data", "dtype", "device", "requires_grad", nullptr};
    PyObject* data = nullptr;
    PyObject* dtype = nullptr;
    PyObject* device = nullptr;
    PyObject* requires_grad_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOO:Tensor.__new__", const_cast<char**>(keywords), &data,
                                     &dtype, &device, &requires_grad_obj))
        return nullptr;
    // Checked here rather than by the parser, whose message would name the
    // position instead of the parameter.
    if (device && !PyUnicode_Check(device))
        return PyErr_Format(PyExc_TypeError, "Tensor.__new__() argument 'device' must be str, not %.200s",
                            Py_TYPE(device)->tp_name);
    bool requires_grad = false;
    if (requires_grad_obj) {
        if (PyBool_Check(requires_grad_obj)) {
            requires_grad = requires_grad_obj == Py_True;
        } else if (is_numpy_bool(requires_grad_obj)) {
            int truth = PyObject_IsTrue(requires_grad_obj);
            if (truth < 0) return nullptr;
            requires_grad = truth;
        } else {
            return PyErr_Format(PyExc_TypeError, "Tensor.__new__() argument 'requires_grad' must be bool, not %.200s",
                                Py_TYPE(requires_grad_obj)->tp_name);
        }
    }

    if (device) {
        // str.lower itself: a subclass cannot override the lowercasing.
        PyRef lowered = PyRef::steal(
            PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", device));
        if (!lowered) return nullptr;
        if (!PyUnicode_Check(lowered.get()) || PyUnicode_CompareWithASCIIString(lowered.get(), "cpu") != 0)
            return raise(Error{ErrorKind::ValueError, "The device string is invalid or not supported."});
    }

    PyRef name_obj = resolve_dtype_name(dtype);
    if (!name_obj) return nullptr;
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name_obj.get(), &len);
    const auto element_type = utf8 ? storage::dtype_for_name(std::string_view(utf8, std::size_t(len))) : std::nullopt;
    if (!element_type) {
        // A name with lone surrogates has no UTF-8 form; it is still just an
        // unsupported name.
        PyErr_Clear();
        return PyErr_Format(PyExc_ValueError, "Unsupported or invalid data type: '%U'", name_obj.get());
    }

    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    // An array the import can read itself skips numpy.array's copy.
    auto storage = import_ndarray_directly(data, *element_type);
    if (!storage) storage = convert_with_numpy(numpy.get(), data, *element_type);
    if (!*storage) return raise(storage->error());
    return wrap(core::from_storage(std::move(**storage), requires_grad));
}

}  // namespace pelor::tensor::api
