"""nn.functional.relu: x for x > 0, +0 for zeros, negatives and NaN.

The oracle is NumPy's `where(x > 0, x, +0)` evaluated on float32 values, which
is independent of the kernels' integer tests on 16-bit patterns. Results are
compared bit for bit, so -0 turning into +0 is checked too.
"""

import math

import ml_dtypes
import numpy as np
import pytest

import pelor_core
from pelor_core import Tensor

relu = pelor_core.nn.functional.relu

DTYPES = {"float32": np.float32, "float16": np.float16, "bfloat16": ml_dtypes.bfloat16}
FLOATS = list(DTYPES)


def bits(a):
    a = np.ascontiguousarray(a)
    return a.view(np.uint32 if a.dtype == np.float32 else np.uint16)


def expected_relu(a):
    f = a.astype(np.float32)
    return np.where(f > 0, a, np.zeros_like(a))


def patterns(dtype):
    if dtype != "float32":
        return np.arange(1 << 16, dtype=np.uint16).view(DTYPES[dtype])
    rng = np.random.default_rng(3)
    random_bits = rng.integers(0, 1 << 32, size=100000, dtype=np.uint64).astype(np.uint32).view(np.float32)
    special = np.array([0.0, -0.0, np.inf, -np.inf, np.nan, -np.nan, 1e-45, -1e-45], dtype=np.float32)
    return np.concatenate([special, random_bits])


@pytest.mark.parametrize("dtype", FLOATS)
def test_every_pattern_matches_oracle(dtype):
    a = patterns(dtype)
    out = relu(Tensor(a, dtype=dtype)).to_numpy()
    assert out.dtype == DTYPES[dtype]
    np.testing.assert_array_equal(bits(out), bits(expected_relu(a)))


@pytest.mark.parametrize("dtype", FLOATS)
def test_special_values(dtype):
    values = [-1.5, -0.0, 0.0, 2.0, math.nan, math.inf, -math.inf, -math.nan]
    out = relu(Tensor(np.array(values, dtype=np.float32).astype(DTYPES[dtype]), dtype=dtype)).to_numpy()
    result = out.astype(np.float32)
    np.testing.assert_array_equal(result, [0.0, 0.0, 0.0, 2.0, 0.0, math.inf, 0.0, 0.0])
    assert not np.signbit(result).any()


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("n", [0, 1, 15, 16, 17, 31, 33, 63, 64, 65, 129])
def test_every_length(dtype, n):
    a = patterns(dtype)[30000:30000 + n]
    out = relu(Tensor(a, dtype=dtype))
    assert out.shape == [n]
    np.testing.assert_array_equal(bits(out.to_numpy()), bits(expected_relu(a)))


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("shape, dims", [((2, 3), (0, 1)), ((2, 3, 4), (0, 2)), ((3, 1), (0, 1))])
def test_result_keeps_shape_strides_and_dtype(dtype, shape, dims):
    a = np.random.default_rng(5).uniform(-3, 3, size=shape).astype(DTYPES[dtype])
    t = Tensor(a, dtype=dtype).transpose(*dims)
    out = relu(t)
    assert out.shape == t.shape and out.strides == t.strides and out.dtype == t.dtype
    np.testing.assert_array_equal(bits(out.to_numpy()), bits(expected_relu(np.swapaxes(a, *dims))))


def test_zero_dimensional_and_empty():
    assert relu(Tensor(np.float32(-2.0))).to_numpy().item() == 0.0
    out = relu(Tensor(np.zeros((0, 3), dtype=np.float32)))
    assert out.shape == [0, 3] and out.strides == [0, 0]


def test_plain_input_records_nothing():
    out = relu(Tensor([-1.0, 0.0, 2.5]))
    assert out.requires_grad is False
    assert out.to_numpy().tolist() == [0.0, 0.0, 2.5]
    with pytest.raises(ValueError):
        out.backward()


@pytest.mark.parametrize("dtype", FLOATS)
def test_gradient_passes_where_input_is_positive(dtype):
    a = np.array([-1.0, 0.0, 2.5, -0.0, 3.0], dtype=np.float32).astype(DTYPES[dtype])
    x = Tensor(a, dtype=dtype, requires_grad=True)
    y = relu(x)
    assert y.requires_grad
    y.backward()
    np.testing.assert_array_equal(x.grad().astype(np.float32), [0.0, 0.0, 1.0, 0.0, 1.0])


def test_input_is_unchanged():
    a = np.array([-1.0, 2.0], dtype=np.float32)
    t = Tensor(a)
    relu(t)
    assert t.to_numpy().tolist() == [-1.0, 2.0]


def test_keyword_argument():
    t = Tensor([-1.0, 1.0])
    assert relu(py_tensor=t).to_numpy().tolist() == [0.0, 1.0]


@pytest.mark.parametrize("call", [lambda: relu(2.0), lambda: relu([1.0]), lambda: relu(), lambda: relu(x=Tensor([1.0])),
                                  lambda: relu(Tensor([1.0]), Tensor([1.0]))])
def test_argument_errors(call):
    with pytest.raises(TypeError):
        call()


def test_bool_is_refused():
    with pytest.raises(TypeError) as info:
        relu(Tensor([True, False], dtype="bool"))
    assert str(info.value) == "Tensor Dtype not supported for this operation: relu"


def test_refused_bool_with_gradients_still_records_a_node(heap_growth):
    """The node is recorded before the kernel refuses Bool: the tape grows on every failed call."""
    b = Tensor([True], dtype="bool", requires_grad=True)
    c = Tensor([True], dtype="bool")

    def fail(t):
        try:
            relu(t)
        except TypeError:
            pass

    try:
        recorded = heap_growth(lambda: fail(b), count=20000)
        plain = heap_growth(lambda: fail(c), count=20000)
    finally:
        Tensor.clear_graph()
    assert recorded > 20000 * 16  # at least a pointer and a saved handle per node
    assert plain < recorded / 10
