// Tensor methods: export, shape methods, fills, reflected comparisons and the
// autograd entry points. Fills, comparisons, the backward pass and the copies
// of an export run detached from the interpreter when they are long.
#include <cmath>

#include "base/detached.hpp"
#include "base/py_ref.hpp"
#include "tensor/api/numpy_interchange.hpp"
#include "tensor/api/py_tensor.hpp"
#include "tensor/api/scalar.hpp"
#include "tensor/api/work.hpp"
#include "tensor/core_graph.hpp"

namespace pelor::tensor::api {

namespace {

// Re-raises the pending conversion error, same class, with the argument named.
bool name_argument_in_error(const char* method, const char* arg) {
    PyRef exc = PyRef::steal(PyErr_GetRaisedException());
    PyRef text = PyRef::steal(PyObject_Str(exc.get()));
    PyErr_Format(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), "%s() argument '%s': %S", method, arg,
                 text ? text.get() : Py_None);
    return false;
}

// An unsigned machine word; the conversion's own exception names the argument.
bool to_size(PyObject* o, const char* method, const char* arg, std::size_t& out) {
    PyRef index = PyRef::steal(PyNumber_Index(o));
    if (index) {
        out = PyLong_AsSize_t(index.get());
        if (!(out == std::size_t(-1) && PyErr_Occurred())) return true;
    }
    return name_argument_in_error(method, arg);
}

PyObject* to_numpy(PyObject* self, PyObject*) noexcept { return export_ndarray(*unwrap(self).storage); }

PyObject* reshape(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"shape", nullptr};
    PyObject* seq = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:reshape", const_cast<char**>(keywords), &seq)) return nullptr;
    if (PyUnicode_Check(seq) || !PySequence_Check(seq))
        return PyErr_Format(PyExc_TypeError, "reshape() argument 'shape' must be a sequence of ints, not %.200s",
                            Py_TYPE(seq)->tp_name);
    // A private tuple, not PySequence_Fast: an element's __index__ (or
    // another thread) may change a list while its items are converted.
    PyRef items = PyRef::steal(PySequence_Tuple(seq));
    if (!items) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    Shape shape(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!to_size(PyTuple_GET_ITEM(items.get(), i), "reshape", "shape", shape[std::size_t(i)]))
            return nullptr;
    return wrap(Tensor::reshape(unwrap(self), shape));
}

PyObject* transpose(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"dim0", "dim1", nullptr};
    PyObject* d0 = nullptr;
    PyObject* d1 = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:transpose", const_cast<char**>(keywords), &d0, &d1))
        return nullptr;
    std::size_t dim0 = 0, dim1 = 0;
    if (!to_size(d0, "transpose", "dim0", dim0) || !to_size(d1, "transpose", "dim1", dim1)) return nullptr;
    return wrap(Tensor::transpose(unwrap(self), dim0, dim1));
}

template <Result<Tensor> (*Fill)(const Tensor&)>
PyObject* fill(PyObject* self, PyObject*) noexcept {
    const Tensor& t = unwrap(self);
    return wrap(run_detached(elementwise_work(*t.storage), [&] { return Fill(t); }));
}

// A number as a binary32 scalar; the conversion's own exception, with the
// argument named, otherwise.
bool to_scalar(PyObject* o, const char* method, const char* arg, float& out) {
    const auto x = to_binary32(o);
    if (x) out = *x;
    return x || name_argument_in_error(method, arg);
}

// "O:" followed by the method name, which the argument errors print.
constexpr char req_format[] = "O:__req__";
constexpr char rgt_format[] = "O:__rgt__";
constexpr char rlt_format[] = "O:__rlt__";

template <Result<Tensor> (*Op)(const Tensor&, float), const char* Format>
PyObject* reflected_compare(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"other", nullptr};
    PyObject* other = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, Format, const_cast<char**>(keywords), &other)) return nullptr;
    float x = 0;
    if (!to_scalar(other, Format + 2, "other", x)) return nullptr;
    const Tensor& t = unwrap(self);
    return wrap(run_detached(elementwise_work(*t.storage), [&] { return Op(t, x); }));
}

// An operand that asked for gradients but could not be differentiated gets
// none, and its grad() is None far from the cause: the pass says so. Through
// the warnings machinery, so a training loop hears it once per location.
bool warn_of_constants(const autograd::engine::PassReport& report) {
    static constexpr char cleared[] =
        "backward() reached a tensor with requires_grad=True that was recorded before the last "
        "Tensor.clear_graph(); it was used as a constant and gets no gradient. Make such tensors (parameters) "
        "again after clear_graph() to differentiate them.";
    static constexpr char foreign[] =
        "backward() reached a tensor with requires_grad=True that was recorded on another thread; it was used "
        "as a constant and gets no gradient. Make such tensors (parameters) on the thread that calls backward() "
        "to differentiate them.";
    if (report.reached_cleared && PyErr_WarnEx(PyExc_RuntimeWarning, cleared, 1) < 0) return false;
    return !report.reached_foreign || PyErr_WarnEx(PyExc_RuntimeWarning, foreign, 1) == 0;
}

PyObject* backward(PyObject* self, PyObject*) noexcept {
    const Tensor& t = unwrap(self);
    auto pass = core::prepare_backward(t);
    if (!pass) return raise(pass.error());
    auto r = run_detached(pass->work, [&] { return core::backward(t, *pass); });
    if (!r) return raise(r.error());
    if (!warn_of_constants(*r)) return nullptr;  // a filter turned the warning into an error
    Py_RETURN_NONE;
}

PyObject* grad(PyObject* self, PyObject*) noexcept {
    const Storage* slot = core::grad(unwrap(self));
    if (!slot) Py_RETURN_NONE;
    // Exported from an alias that keeps the buffer alive: the export may run
    // Python code (a collection, a finaliser) that clears this thread's tape.
    const Storage held = slot->alias();
    return export_ndarray(held);
}

PyObject* clear_graph(PyObject*, PyObject*) noexcept {
    core::clear_graph();
    Py_RETURN_NONE;
}

template <class F>
PyCFunction cfunc(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

PyMethodDef tensor_methods[] = {
    {"to_numpy", to_numpy, METH_NOARGS, "to_numpy($self)\n--\n\n"},
    {"reshape", cfunc(reshape), METH_VARARGS | METH_KEYWORDS, "reshape($self, shape)\n--\n\n"},
    {"transpose", cfunc(transpose), METH_VARARGS | METH_KEYWORDS, "transpose($self, dim0, dim1)\n--\n\n"},
    {"zeros_like", fill<Tensor::zeros_like>, METH_NOARGS, "zeros_like($self)\n--\n\n"},
    {"ones_like", fill<Tensor::ones_like>, METH_NOARGS, "ones_like($self)\n--\n\n"},
    {"__req__", cfunc(reflected_compare<Tensor::scalar_eq, req_format>), METH_VARARGS | METH_KEYWORDS,
     "__req__($self, other)\n--\n\n"},
    // other > element  <=>  element < other, and the mirror image.
    {"__rgt__", cfunc(reflected_compare<Tensor::scalar_lt, rgt_format>), METH_VARARGS | METH_KEYWORDS,
     "__rgt__($self, other)\n--\n\n"},
    {"__rlt__", cfunc(reflected_compare<Tensor::scalar_gt, rlt_format>), METH_VARARGS | METH_KEYWORDS,
     "__rlt__($self, other)\n--\n\n"},
    {"backward", backward, METH_NOARGS, "backward($self)\n--\n\n"},
    {"grad", grad, METH_NOARGS, "grad($self)\n--\n\n"},
    {"clear_graph", clear_graph, METH_NOARGS | METH_STATIC, "clear_graph()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace pelor::tensor::api
