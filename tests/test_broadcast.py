"""Broadcasting of two operands (the NumPy rule) as the binary and logical operators see it.

The common shape and the values are checked against NumPy; failures must carry
the exact message, with both shapes printed whole.
"""

import operator

import ml_dtypes  # noqa: F401  (registers the NumPy dtype named "bfloat16")
import numpy as np
import pytest

from pelor_core import Tensor

# (shape A, shape B): each pair is tried in both orders.
COMPATIBLE = [
    ((2, 3), (3,)),
    ((4, 1), (3,)),
    ((1,), (5, 1, 2)),
    ((), ()),
    ((), (3,)),
    ((2, 0), (1,)),
    ((0,), (0,)),
    ((0,), ()),
    ((3, 1, 4), (2, 1)),
    ((1, 1, 1), (2, 3)),
    ((6, 1, 5, 1), (1, 4, 1, 3)),
]

INCOMPATIBLE = [
    ((0,), (3,), "Shape mismatch: cannot broadcast [0] and [3]"),
    ((2, 3), (3, 2), "Shape mismatch: cannot broadcast [2, 3] and [3, 2]"),
    ((2, 3), (4,), "Shape mismatch: cannot broadcast [2, 3] and [4]"),
    ((5, 2, 3), (2, 1, 3), "Shape mismatch: cannot broadcast [5, 2, 3] and [2, 1, 3]"),
    ((2, 1), (8, 4, 3), "Shape mismatch: cannot broadcast [2, 1] and [8, 4, 3]"),
]

# One operator per family of kernels: float arithmetic, float comparison,
# Bool comparison, Bool logic (the boolean module's own broadcast).
OPERATORS = [
    ("float32", operator.add),
    ("float16", operator.mul),
    ("bfloat16", operator.sub),
    ("float32", operator.le),
    ("bool", operator.eq),
    ("bool", operator.and_),
    ("bool", operator.xor),
]


def values(shape, dtype, seed):
    rng = np.random.default_rng(seed)
    if dtype == "bool":
        return rng.integers(0, 2, size=shape).astype(np.bool_)
    return rng.integers(-8, 8, size=shape).astype(np.float32)  # exact in every float type


def tensor(a, dtype):
    return Tensor(np.asarray(a), dtype=dtype)


@pytest.mark.parametrize("dtype, fn", OPERATORS)
@pytest.mark.parametrize("sa, sb", COMPATIBLE + [(b, a) for a, b in COMPATIBLE])
def test_common_shape_and_values_follow_numpy(dtype, fn, sa, sb):
    x, y = values(sa, dtype, 1), values(sb, dtype, 2)
    r = fn(tensor(x, dtype), tensor(y, dtype))
    want = fn(x, y)
    assert r.shape == list(np.broadcast_shapes(sa, sb))
    got = r.to_numpy()
    assert got.shape == want.shape
    np.testing.assert_array_equal(got.astype(want.dtype), want)


@pytest.mark.parametrize("dtype, fn", OPERATORS)
@pytest.mark.parametrize("sa, sb, message", INCOMPATIBLE)
def test_incompatible_shapes_name_both_operands(dtype, fn, sa, sb, message):
    with pytest.raises(RuntimeError) as e:
        fn(tensor(values(sa, dtype, 1), dtype), tensor(values(sb, dtype, 2), dtype))
    assert str(e.value) == message


@pytest.mark.parametrize("dtype, fn", OPERATORS)
def test_stretching_into_an_oversized_shape_is_refused(dtype, fn):
    # Both operands are empty, but their common shape has more non-zero
    # elements than a signed machine word can count.
    a = tensor(np.empty((2**40, 1, 0), dtype=np.bool_ if dtype == "bool" else np.float32), dtype)
    b = tensor(np.empty((1, 2**40, 0), dtype=np.bool_ if dtype == "bool" else np.float32), dtype)
    with pytest.raises(RuntimeError) as e:
        fn(a, b)
    assert str(e.value) == "Broadcast failed for A: [1099511627776, 1, 0] -> [1099511627776, 1099511627776, 0]"


def test_a_large_empty_common_shape_that_fits_is_fine():
    a = tensor(np.empty((2**31, 1, 0), dtype=np.float32), "float32")
    b = tensor(np.empty((1, 2**31, 0), dtype=np.float32), "float32")
    r = a + b
    assert r.shape == [2**31, 2**31, 0] and r.strides == [0, 0, 0]


def test_a_row_is_read_again_for_every_broadcast_row():
    row = np.array([1.0, 2.0, 3.0], dtype=np.float32)
    r = (tensor(np.zeros((4, 3), np.float32), "float32") + tensor(row, "float32")).to_numpy()
    np.testing.assert_array_equal(r, np.tile(row, (4, 1)))


@pytest.mark.parametrize("dtype, fn", OPERATORS)
def test_transposed_operand_broadcasts_with_its_own_strides(dtype, fn):
    base = values((4, 3), dtype, 3)
    t = tensor(base, dtype).transpose(0, 1)  # shape (3, 4), strides (1, 3)
    for other_shape in [(4,), (3, 1), (2, 3, 4), (2, 1, 1)]:
        y = values(other_shape, dtype, 4)
        want = fn(base.T, y)
        got = fn(t, tensor(y, dtype)).to_numpy()
        np.testing.assert_array_equal(got.astype(want.dtype), want)
        got = fn(tensor(y, dtype), t).to_numpy()
        np.testing.assert_array_equal(got.astype(want.dtype), fn(y, base.T))


def test_a_tensor_combined_with_itself():
    x = values((3, 4), "float32", 5)
    t = tensor(x, "float32")
    np.testing.assert_array_equal((t * t).to_numpy(), x * x)
    np.testing.assert_array_equal((t * t.transpose(0, 1).transpose(0, 1)).to_numpy(), x * x)
