// Operator slots of the class Tensor. Each slot converts its operands, calls
// one core operation (detached from the interpreter when it is long) and wraps
// the result; operand forms it does not support answer NotImplemented so the
// interpreter can try the other operand.
#include "base/detached.hpp"
#include "tensor/api/py_tensor.hpp"
#include "tensor/api/scalar.hpp"
#include "tensor/api/work.hpp"

namespace pelor::tensor::api {

namespace {

using TensorOp = Result<Tensor> (*)(const Tensor&, const Tensor&);
using ScalarOp = Result<Tensor> (*)(const Tensor&, float);
using Work = std::size_t (*)(const Storage&, const Storage&);

// The core operation on two tensors, or on a tensor and a number, detached
// from the interpreter when it is long.
template <Work W = elementwise_work>
PyObject* call(TensorOp op, const Tensor& a, const Tensor& b) {
    return wrap(run_detached(W(*a.storage, *b.storage), [&] { return op(a, b); }));
}
PyObject* call(ScalarOp op, const Tensor& t, float x) {
    return wrap(run_detached(elementwise_work(*t.storage), [&] { return op(t, x); }));
}

// A number as a binary32 scalar. A failed conversion is not an error here:
// the caller declines the operand.
bool to_scalar(PyObject* o, float& out) {
    const auto x = to_binary32(o);
    if (!x) {
        PyErr_Clear();
        return false;
    }
    out = *x;
    return true;
}

// t op u and t op x; with Reflected also x op t (as t op x: + and * commute).
template <TensorOp Op, ScalarOp Scalar, bool Reflected>
PyObject* arithmetic(PyObject* left, PyObject* right) noexcept {
    float x;
    if (is_tensor(left)) {
        if (is_tensor(right)) return call(Op, unwrap(left), unwrap(right));
        if (to_scalar(right, x)) return call(Scalar, unwrap(left), x);
    }
    if constexpr (Reflected) {
        if (is_tensor(right) && to_scalar(left, x)) return call(Scalar, unwrap(right), x);
    }
    Py_RETURN_NOTIMPLEMENTED;
}

// Both operands must be tensors: @ & | ^.
template <TensorOp Op, Work W = elementwise_work>
PyObject* tensor_only(PyObject* left, PyObject* right) noexcept {
    if (is_tensor(left) && is_tensor(right)) return call<W>(Op, unwrap(left), unwrap(right));
    Py_RETURN_NOTIMPLEMENTED;
}

PyObject* invert(PyObject* self) noexcept {
    const Tensor& t = unwrap(self);
    return wrap(run_detached(elementwise_work(*t.storage), [&] { return Tensor::logical_not(t); }));
}

struct Comparison {
    TensorOp tensor;
    ScalarOp scalar;
};

Comparison comparison_for(int op) {
    switch (op) {
        case Py_LT: return {Tensor::lt, Tensor::scalar_lt};
        case Py_LE: return {Tensor::le, Tensor::scalar_le};
        case Py_EQ: return {Tensor::eq, Tensor::scalar_eq};
        case Py_GT: return {Tensor::gt, Tensor::scalar_gt};
        case Py_GE: return {Tensor::ge, Tensor::scalar_ge};
        default: return {nullptr, nullptr};
    }
}

// The interpreter hands the tensor in as `self`, mirroring the operator when
// the tensor stood on the right (2.0 < t arrives as t > 2.0).
PyObject* richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if (op == Py_NE) {
        // No element-wise "not equal": negate the truth of the full equality,
        // which is a tensor (always true) or the interpreter's identity fallback.
        PyObject* eq = PyObject_RichCompare(self, other, Py_EQ);
        if (!eq) return nullptr;
        int truth = PyObject_IsTrue(eq);
        Py_DECREF(eq);
        if (truth < 0) return nullptr;
        return PyBool_FromLong(!truth);
    }
    const Comparison cmp = comparison_for(op);
    if (!is_tensor(self) || !cmp.tensor) Py_RETURN_NOTIMPLEMENTED;
    if (is_tensor(other)) return call(cmp.tensor, unwrap(self), unwrap(other));
    float x;
    if (to_scalar(other, x)) return call(cmp.scalar, unwrap(self), x);
    Py_RETURN_NOTIMPLEMENTED;
}

template <class F>
void* slot(F f) {
    return reinterpret_cast<void*>(f);
}

}  // namespace

// A number divided by a tensor is declined (NotImplemented), as a number minus
// a tensor is: the core offers only tensor / number.
PyType_Slot tensor_operator_slots[] = {
    {Py_nb_add, slot(arithmetic<Tensor::add, Tensor::scalar_add, true>)},
    {Py_nb_subtract, slot(arithmetic<Tensor::sub, Tensor::scalar_sub, false>)},
    {Py_nb_multiply, slot(arithmetic<Tensor::mul, Tensor::scalar_mul, true>)},
    {Py_nb_true_divide, slot(arithmetic<Tensor::div, Tensor::scalar_div, false>)},
    {Py_nb_matrix_multiply, slot(tensor_only<Tensor::matmul, matmul_work>)},
    {Py_nb_and, slot(tensor_only<Tensor::logical_and>)},
    {Py_nb_or, slot(tensor_only<Tensor::logical_or>)},
    {Py_nb_xor, slot(tensor_only<Tensor::logical_xor>)},
    {Py_nb_invert, slot(invert)},
    {Py_tp_richcompare, slot(richcompare)},
    {0, nullptr},
};

}  // namespace pelor::tensor::api
