"""Logical operators on Bool tensors: & | ^ with broadcasting, and ~.

NumPy's logical ufuncs are the oracle. Only Bool tensors take part; the
element-type test comes before any shape test.
"""

import operator

import ml_dtypes  # noqa: F401  (registers the NumPy dtype named "bfloat16")
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from pelor_core import Tensor

LOGICAL = {"and": (operator.and_, np.logical_and), "or": (operator.or_, np.logical_or),
           "xor": (operator.xor, np.logical_xor)}
NOT_BOOL = "Logical operations are only supported for Bool data types."


def boolean(a):
    return Tensor(np.asarray(a, dtype=np.bool_), dtype="bool")


def transposed(a):
    """A Bool tensor with a's values whose first and last axes are swapped in memory."""
    a = np.asarray(a, dtype=np.bool_)
    if a.ndim < 2:
        return boolean(a)
    return boolean(np.ascontiguousarray(np.swapaxes(a, 0, -1))).transpose(0, a.ndim - 1)


@pytest.mark.parametrize("op", LOGICAL)
def test_truth_table(op):
    x = np.array([False, False, True, True])
    y = np.array([False, True, False, True])
    r = LOGICAL[op][0](boolean(x), boolean(y))
    assert r.dtype == "bool" and r.requires_grad is False
    got = r.to_numpy()
    assert got.dtype == np.bool_
    np.testing.assert_array_equal(got, LOGICAL[op][1](x, y))
    # Every byte is 0 or 1, whichever operator produced it.
    assert set(got.view(np.uint8).tolist()) <= {0, 1}


@pytest.mark.parametrize(
    "op, x, y, want",
    [
        ("or", [[True], [False]], [True, False, False], [[True, True, True], [True, False, False]]),
        ("xor", [True, False], [True, True], [False, True]),
        ("and", [[True, False]], [[True], [True], [False]], [[True, False], [True, False], [False, False]]),
    ],
)
def test_documented_examples(op, x, y, want):
    np.testing.assert_array_equal(LOGICAL[op][0](boolean(x), boolean(y)).to_numpy(), np.array(want))


@pytest.mark.parametrize("op", LOGICAL)
@pytest.mark.parametrize("n", [1, 15, 16, 17, 31, 32, 33, 64, 1000, 4099])
def test_long_runs_match_numpy(op, n):
    rng = np.random.default_rng(n)
    x, y = rng.integers(0, 2, n).astype(np.bool_), rng.integers(0, 2, n).astype(np.bool_)
    np.testing.assert_array_equal(LOGICAL[op][0](boolean(x), boolean(y)).to_numpy(), LOGICAL[op][1](x, y))
    # one operand a broadcast scalar, on either side
    for k in (0, n - 1):
        s = x[k:k + 1]
        np.testing.assert_array_equal(LOGICAL[op][0](boolean(s), boolean(y)).to_numpy(), LOGICAL[op][1](s, y))
        np.testing.assert_array_equal(LOGICAL[op][0](boolean(y), boolean(s)).to_numpy(), LOGICAL[op][1](y, s))


@pytest.mark.parametrize("op", LOGICAL)
@pytest.mark.parametrize("other", ["float32", "float16", "bfloat16"])
@pytest.mark.parametrize("shapes", [((2, 3), (2, 3)), ((2, 3), (3, 2))])  # even when shapes don't broadcast
def test_non_bool_operand_is_refused(op, other, shapes):
    b = boolean(np.ones(shapes[0]))
    f = Tensor(np.ones(shapes[1], dtype=np.float32), dtype=other)
    for left, right in [(b, f), (f, b), (f, f)]:
        with pytest.raises(RuntimeError) as e:
            LOGICAL[op][0](left, right)
        assert str(e.value) == NOT_BOOL


@pytest.mark.parametrize("op", LOGICAL)
def test_shape_mismatch(op):
    with pytest.raises(RuntimeError) as e:
        LOGICAL[op][0](boolean(np.ones((2, 3))), boolean(np.ones((3, 2))))
    assert str(e.value) == "Shape mismatch: cannot broadcast [2, 3] and [3, 2]"


@pytest.mark.parametrize("op", LOGICAL)
def test_result_layout(op):
    x = np.array([[True, False, True], [False, False, True]])
    fn = LOGICAL[op][0]
    t = boolean(x).transpose(0, 1)  # shape (3, 2), strides (1, 3)
    assert fn(t, t).strides == [1, 3]  # both column-major
    assert fn(t, boolean(np.ones(2))).strides == [1, 3]  # with a stride-0 view
    assert fn(t, boolean(np.ones((3, 2)))).strides == [2, 1]  # with a row-major operand
    np.testing.assert_array_equal(fn(t, boolean(x.T)).to_numpy(), LOGICAL[op][1](x.T, x.T))
    np.testing.assert_array_equal(fn(t, boolean([True, False])).to_numpy(), LOGICAL[op][1](x.T, [True, False]))


def test_zero_length_axes():
    r = boolean(np.ones((2, 0))) | boolean(np.ones((1,)))
    assert r.shape == [2, 0] and r.strides == [0, 0]


# ---- negation ------------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("shape", [(), (1,), (5,), (33,), (2, 3), (0, 3), (2, 3, 4)])
def test_not_flips_every_element(shape):
    x = np.random.default_rng(1).integers(0, 2, size=shape).astype(np.bool_)
    r = ~boolean(x)
    assert r.dtype == "bool" and r.shape == list(shape)
    np.testing.assert_array_equal(r.to_numpy(), ~x)


def test_not_keeps_the_source_layout():
    x = np.random.default_rng(2).integers(0, 2, size=(2, 3, 4)).astype(np.bool_)
    for dims in [(0, 1), (0, 2), (1, 2)]:
        t = boolean(x).transpose(*dims)
        r = ~t
        assert r.strides == t.strides
        np.testing.assert_array_equal(r.to_numpy(), ~np.swapaxes(x, *dims))


@pytest.mark.parametrize("dtype", ["float32", "float16", "bfloat16"])
def test_not_of_a_number_tensor_is_refused(dtype):
    with pytest.raises(RuntimeError) as e:
        ~Tensor(np.ones(3, dtype=np.float32), dtype=dtype)
    assert str(e.value) == "Logical NOT is only supported for Bool data type."


# ---- randomised differential test ----------------------------------------------------------------------------------

@given(
    shapes=hnp.mutually_broadcastable_shapes(num_shapes=2, min_dims=0, max_dims=4, min_side=0, max_side=5),
    op=st.sampled_from(list(LOGICAL)),
    layouts=st.tuples(st.booleans(), st.booleans()),
    seed=st.integers(0, 2**32 - 1),
)
def test_random_shapes_and_layouts(shapes, op, layouts, seed):
    rng = np.random.default_rng(seed)
    x, y = (rng.integers(0, 2, size=s).astype(np.bool_) for s in shapes.input_shapes)
    make = lambda a, t: transposed(a) if t else boolean(a)
    r = LOGICAL[op][0](make(x, layouts[0]), make(y, layouts[1]))
    np.testing.assert_array_equal(r.to_numpy(), LOGICAL[op][1](x, y))
    assert r.shape == list(shapes.result_shape)
