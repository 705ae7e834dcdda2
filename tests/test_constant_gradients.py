"""Gradients that no tensor can read are not computed, and that changes nothing
that can be read.

A constant operand (a tensor that does not require gradients, or one whose
graph was cleared) stands on the tape as a leaf that no tensor carries, so the
backward rules skip its contribution. Every readable gradient must come out
bit for bit as when the same operand requires gradients and its contribution
is computed.
"""

import ml_dtypes  # noqa: F401  (registers the "bfloat16" NumPy dtype)
import numpy as np
import pytest

import pelor_core
from pelor_core import Tensor

relu = pelor_core.nn.functional.relu

DTYPES = ["f32", "f16", "bf16"]

# name, operation, then the shapes of the tensor that requires gradients and
# of the constant: with the constant on the right, then on the left.
OPERATIONS = [
    ("add", lambda a, b: a + b, ((3, 4), (4,)), ((3, 4), (4,))),
    ("sub", lambda a, b: a - b, ((3, 4), (2, 3, 4)), ((3, 4), (2, 3, 4))),
    ("mul", lambda a, b: a * b, ((3, 1), (3, 4)), ((3, 1), (3, 4))),
    ("div", lambda a, b: a / b, ((3, 4), (1, 4)), ((3, 4), (1, 4))),
    ("matmul", lambda a, b: a @ b, ((2, 3, 4), (4, 5)), ((4, 5), (2, 3, 4))),
    ("matmul broadcast", lambda a, b: a @ b, ((3, 4), (2, 4, 5)), ((2, 4, 5), (3, 4))),
]


def tensor(shape, seed, dtype, requires_grad):
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.5, 2.0, size=shape) * rng.choice([-1.0, 1.0], size=shape)
    return Tensor(x.astype(np.float32), dtype=dtype, requires_grad=requires_grad)


def bits(array):
    return array.view(np.uint16 if array.dtype.itemsize == 2 else np.uint32)


def readable_gradients(op, x_shape, c_shape, dtype, constant_on_left, c_requires_grad):
    """Runs op with x (requires gradients) and c on the chosen sides, then a
    few more nodes, and returns the gradients of every readable tensor but c."""
    Tensor.clear_graph()
    x = tensor(x_shape, 1, dtype, True)
    c = tensor(c_shape, 2, dtype, c_requires_grad)
    y = op(c, x) if constant_on_left else op(x, c)
    z = relu(y * 3.0 - 1.0) / 2.0
    z.backward()
    assert z.dtype == dtype
    grads = [t.grad() for t in (x, y, z)]
    Tensor.clear_graph()
    return grads


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("constant_on_left", [False, True], ids=["constant-right", "constant-left"])
@pytest.mark.parametrize("name, op, right, left", OPERATIONS, ids=[o[0] for o in OPERATIONS])
def test_a_constant_operand_changes_no_readable_gradient(name, op, right, left, constant_on_left, dtype):
    x_shape, c_shape = left if constant_on_left else right
    skipped = readable_gradients(op, x_shape, c_shape, dtype, constant_on_left, c_requires_grad=False)
    computed = readable_gradients(op, x_shape, c_shape, dtype, constant_on_left, c_requires_grad=True)
    for a, b in zip(skipped, computed):
        assert a.shape == b.shape
        np.testing.assert_array_equal(bits(a), bits(b))


UNARY = [
    ("relu", lambda s: relu(s)),
    ("reshape", lambda s: s.reshape([12])),
    ("transpose", lambda s: s.transpose(0, 1)),
    ("scalar add", lambda s: s + 1.5),
    ("scalar sub", lambda s: s - 1.5),
    ("scalar mul", lambda s: s * 3.0),
    ("scalar div", lambda s: s / 3.0),
]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name, op", UNARY, ids=[u[0] for u in UNARY])
def test_an_operation_on_a_cleared_tensor_differentiates_its_result(name, op, dtype):
    # A tensor recorded before clear_graph() is a constant to the graphs after
    # it: the node on it is recorded, its result's gradient is published, and
    # the stale input's contribution is skipped.
    stale = tensor((3, 4), 3, dtype, True)
    Tensor.clear_graph()
    y = op(stale)
    assert y.requires_grad
    w = tensor(tuple(y.shape), 4, dtype, True)
    assert y.dtype == w.dtype == dtype
    with pytest.warns(RuntimeWarning, match="before the last Tensor.clear_graph"):
        (y * w).backward()
    np.testing.assert_array_equal(bits(y.grad()), bits(w.to_numpy()))
    np.testing.assert_array_equal(bits(w.grad()), bits(y.to_numpy()))
    assert stale.grad() is None
    Tensor.clear_graph()


def test_an_operation_on_two_cleared_tensors_differentiates_its_result():
    a = Tensor([[1.0, 2.0]], requires_grad=True)
    b = Tensor([[3.0], [4.0]], requires_grad=True)
    Tensor.clear_graph()
    for y in (a @ b, a * b, a / b, a + b, a - b):
        with pytest.warns(RuntimeWarning, match="before the last Tensor.clear_graph"):
            y.backward()
        np.testing.assert_array_equal(y.grad(), np.ones(y.shape, np.float32))
    Tensor.clear_graph()
