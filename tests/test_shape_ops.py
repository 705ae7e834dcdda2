"""reshape, transpose, zeros_like and ones_like, with the layouts they leave.

NumPy's reshape and swapaxes are the oracles for values; strides are element
strides. Reshape needs a standard (row-major) layout, so a transposed tensor,
and anything mapped from it element by element, refuses to reshape.
"""

import ml_dtypes
import numpy as np
import pytest

import pelor_core
from pelor_core import Tensor

from layouts import default_strides

relu = pelor_core.nn.functional.relu

DTYPES = {"float32": np.float32, "float16": np.float16, "bfloat16": ml_dtypes.bfloat16, "bool": np.bool_}
ALL = list(DTYPES)
SHORT = {"float32": "f32", "float16": "f16", "bfloat16": "bf16", "bool": "bool"}

INCOMPATIBLE_SHAPE = "Error while reshape: ShapeError/IncompatibleShape: incompatible shapes"
INCOMPATIBLE_LAYOUT = "Error while reshape: ShapeError/IncompatibleLayout: incompatible memory layout"


def array(shape, dtype, seed=0):
    rng = np.random.default_rng(seed)
    if dtype == "bool":
        return rng.integers(0, 2, size=shape).astype(bool)
    return rng.uniform(-8, 8, size=shape).astype(np.float32).astype(DTYPES[dtype])


def same_values(actual, expected):
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    raw = lambda a: np.ascontiguousarray(a).reshape(-1).view(np.uint8)  # noqa: E731
    np.testing.assert_array_equal(raw(actual), raw(expected))


# ---- reshape -----------------------------------------------------------------


@pytest.mark.parametrize("dtype", ALL)
@pytest.mark.parametrize(
    "source, target",
    [((2, 3), (3, 2)), ((2, 3), (6,)), ((2, 3), (1, 6, 1)), ((2, 3, 4), (4, 6)), ((6,), (2, 1, 3)),
     ((1, 1), ()), ((), (1, 1, 1)), ((0, 3), (3, 0)), ((0, 3), (0,)), ((4, 1), (1, 4))],
)
def test_reshape_follows_row_major_order(dtype, source, target):
    a = array(source, dtype)
    out = Tensor(a, dtype=dtype).reshape(list(target))
    assert out.shape == list(target) and out.strides == default_strides(target) and out.dtype == SHORT[dtype]
    same_values(out.to_numpy(), a.reshape(target))


@pytest.mark.parametrize("target", [(4,), (7,), (2, 2), (6, 0), ()])
def test_reshape_to_another_element_count_fails(target):
    with pytest.raises(ValueError) as info:
        Tensor(np.zeros((2, 3), dtype=np.float32)).reshape(target)
    assert str(info.value) == INCOMPATIBLE_SHAPE


# Products that overflow a machine word, including ones that wrap around to the
# element count (2 * (2**63 + 3) is 6 modulo 2**64), describe no real buffer.
@pytest.mark.parametrize("source, target", [((2, 3), (2, 2**63 + 3)), ((2, 3), (2**32, 2**32, 6)), ((0,), (0, 2**63)),
                                            ((0,), (2**40, 2**40, 0))])
def test_reshape_refuses_overflowing_shapes(source, target):
    with pytest.raises(ValueError) as info:
        Tensor(np.zeros(source, dtype=np.float32)).reshape(target)
    assert str(info.value) == INCOMPATIBLE_SHAPE


def test_reshape_accepts_large_empty_shape_that_fits():
    out = Tensor(np.zeros((0,), dtype=np.float32)).reshape([0, 2**40])
    assert out.shape == [0, 2**40] and out.strides == [0, 0]


@pytest.mark.parametrize("dtype", ALL)
def test_reshape_after_transpose_needs_standard_layout(dtype):
    t = Tensor(array((2, 3), dtype), dtype=dtype).transpose(0, 1)
    with pytest.raises(ValueError) as info:
        t.reshape([6])
    assert str(info.value) == INCOMPATIBLE_LAYOUT


@pytest.mark.parametrize("map_fn", [relu, lambda t: t * 2.0, lambda t: t + 1.0, lambda t: t < 0.0],
                         ids=["relu", "scalar_mul", "scalar_add", "scalar_lt"])
def test_mapped_transposed_tensor_keeps_its_layout_and_cannot_reshape(map_fn):
    mapped = map_fn(Tensor(array((2, 3), "float32")).transpose(0, 1))
    assert mapped.strides == [1, 3]
    with pytest.raises(ValueError) as info:
        mapped.reshape([6])
    assert str(info.value) == INCOMPATIBLE_LAYOUT


@pytest.mark.parametrize("shape, dims", [((1, 3), (0, 1)), ((2, 1, 3), (0, 1)), ((0, 3), (0, 1))])
def test_transpose_that_keeps_standard_layout_still_reshapes(shape, dims):
    a = array(shape, "float32")
    t = Tensor(a).transpose(*dims)
    n = int(np.prod(shape))
    same_values(t.reshape([n]).to_numpy(), np.swapaxes(a, *dims).reshape(n))


def test_fills_of_a_transposed_tensor_reshape():
    t = Tensor(array((2, 3), "float32")).transpose(0, 1)
    assert t.zeros_like().reshape([6]).to_numpy().tolist() == [0.0] * 6
    assert t.ones_like().reshape([6]).to_numpy().tolist() == [1.0] * 6


@pytest.mark.parametrize("shape", [(3, 2), [3, 2], np.array([3, 2]), range(3, 1, -1)], ids=["tuple", "list", "ndarray", "range"])
def test_reshape_takes_any_sequence_of_ints(shape):
    out = Tensor(array((2, 3), "float32")).reshape(shape)
    assert out.shape == [3, 2]


def test_reshape_by_keyword():
    assert Tensor(array((2, 3), "float32")).reshape(shape=[6]).shape == [6]


@pytest.mark.parametrize(
    "shape, exc", [("32", TypeError), (b"\x06", None), (6, TypeError), ([2.0, 3], TypeError), ([-1, 6], OverflowError),
                   ([2**64, 1], OverflowError), ({6: 1}, TypeError), ([None], TypeError)],
    ids=["str", "bytes", "int", "float", "negative", "too-large", "dict", "none"],
)
def test_reshape_argument_errors(shape, exc):
    t = Tensor(array((2, 3), "float32"))
    if exc is None:  # bytes is a sequence of ints
        assert t.reshape(shape).shape == [6]
        return
    with pytest.raises(exc):
        t.reshape(shape)


def test_reshape_does_not_share_data():
    a = np.arange(6, dtype=np.float32)
    t = Tensor(a)
    r = t.reshape([2, 3])
    same_values(t.to_numpy(), a)
    same_values(r.to_numpy(), a.reshape(2, 3))


# ---- transpose ---------------------------------------------------------------


@pytest.mark.parametrize("dtype", ALL)
@pytest.mark.parametrize("dims", [(0, 1), (1, 0), (0, 2), (1, 2), (2, 1), (1, 1)])
def test_transpose_swaps_lengths_and_strides(dtype, dims):
    a = array((2, 3, 4), dtype)
    out = Tensor(a, dtype=dtype).transpose(*dims)
    strides = [12, 4, 1]
    strides[dims[0]], strides[dims[1]] = strides[dims[1]], strides[dims[0]]
    assert out.shape == list(np.swapaxes(a, *dims).shape) and out.strides == strides and out.dtype == SHORT[dtype]
    same_values(out.to_numpy(), np.swapaxes(a, *dims))


def test_transpose_examples():
    t = Tensor(array((2, 3, 4), "float32"))
    assert t.transpose(0, 2).shape == [4, 3, 2] and t.transpose(0, 2).strides == [1, 4, 12]
    m = Tensor(array((2, 3), "float32")).transpose(0, 1)
    assert m.shape == [3, 2] and m.strides == [1, 3]
    # Swapping back restores the standard layout, which reshapes again.
    assert m.transpose(1, 0).strides == [3, 1] and m.transpose(1, 0).reshape([6]).shape == [6]


@pytest.mark.parametrize("ndim", [1, 2, 3])
def test_transpose_axis_out_of_range(ndim):
    t = Tensor(np.zeros((2,) * ndim, dtype=np.float32))
    with pytest.raises(ValueError) as info:
        t.transpose(0, ndim)
    assert str(info.value) == f"transpose() axis out of range: dim0=0, dim1={ndim} for a tensor with {ndim} axes"
    with pytest.raises(ValueError, match=f"dim0={ndim + 5}, dim1=0 for a tensor with {ndim} axes"):
        t.transpose(ndim + 5, 0)


def test_transpose_of_zero_dimensional_tensor_fails():
    with pytest.raises(ValueError, match="for a tensor with 0 axes"):
        Tensor(np.float32(1.0)).transpose(0, 0)


@pytest.mark.parametrize("args, kwargs, exc", [((-1, 0), {}, OverflowError), ((0, 1.0), {}, TypeError),
                                               ((0,), {}, TypeError), ((), {"dim0": 0, "dim2": 1}, TypeError),
                                               ((0, 2**64), {}, OverflowError)])
def test_transpose_argument_errors(args, kwargs, exc):
    with pytest.raises(exc):
        Tensor(array((2, 3), "float32")).transpose(*args, **kwargs)


def test_transpose_by_keyword():
    assert Tensor(array((2, 3), "float32")).transpose(dim1=0, dim0=1).shape == [3, 2]


# ---- fills -------------------------------------------------------------------

ONE_BITS = {"float16": 0x3C00, "bfloat16": 0x3F80}


@pytest.mark.parametrize("dtype", ALL)
@pytest.mark.parametrize("shape, dims", [((3, 2), None), ((2, 3), (0, 1)), ((2, 3, 4), (0, 2)), ((), None), ((0, 3), None)])
def test_fills_have_default_strides(dtype, shape, dims):
    t = Tensor(array(shape, dtype), dtype=dtype)
    if dims:
        t = t.transpose(*dims)
    for fill, value in [(t.zeros_like(), 0), (t.ones_like(), 1)]:
        assert fill.shape == t.shape and fill.dtype == t.dtype
        assert fill.strides == default_strides(t.shape)
        expected = np.full(t.shape, value).astype(DTYPES[dtype])
        same_values(fill.to_numpy(), expected)


def test_zeros_like_of_transposed_f16():
    t = Tensor(array((2, 3), "float16"), dtype="float16").transpose(0, 1)
    z = t.zeros_like()
    assert z.shape == [3, 2] and z.strides == [2, 1]


@pytest.mark.parametrize("dtype", ["float16", "bfloat16"])
def test_fill_bit_patterns(dtype):
    t = Tensor(np.full((5,), -0.0, dtype=np.float32).astype(DTYPES[dtype]), dtype=dtype)
    assert (t.ones_like().to_numpy().view(np.uint16) == ONE_BITS[dtype]).all()
    assert (t.zeros_like().to_numpy().view(np.uint16) == 0).all()  # +0, whatever the input held


def test_fills_of_float32_are_positive_zero_and_one():
    t = Tensor(np.full((3,), -0.0, dtype=np.float32))
    assert (t.zeros_like().to_numpy().view(np.uint32) == 0).all()
    assert (t.ones_like().to_numpy().view(np.uint32) == 0x3F800000).all()


def test_bool_fills():
    t = Tensor([[True, False]], dtype="bool")
    assert t.ones_like().to_numpy().tolist() == [[True, True]]
    assert t.zeros_like().to_numpy().tolist() == [[False, False]]
    assert t.ones_like().to_numpy().view(np.uint8).tolist() == [[1, 1]]


def test_fills_never_take_part_in_gradients():
    x = Tensor([1.0, 2.0], requires_grad=True)
    for fill in (x.zeros_like(), x.ones_like()):
        assert fill.requires_grad is False
        with pytest.raises(ValueError):
            fill.backward()


# ---- recording ---------------------------------------------------------------


def test_reshape_and_transpose_record_when_gradients_are_needed():
    x = Tensor(array((2, 3), "float32"), requires_grad=True)
    w = array((3, 2), "float32", seed=9)
    y = x.reshape([3, 2])
    assert y.requires_grad
    (y * Tensor(w)).backward()
    same_values(x.grad(), w.reshape(2, 3))

    x = Tensor(array((2, 3), "float32"), requires_grad=True)
    y = x.transpose(0, 1)
    (y * Tensor(w)).backward()
    same_values(x.grad(), w.T)

    c = Tensor(array((2, 3), "float32"))
    assert not c.reshape([6]).requires_grad and not c.transpose(0, 1).requires_grad


@pytest.mark.parametrize(
    "prepare, fail",
    [(lambda t: t, lambda t: t.reshape([7])), (lambda t: t.transpose(0, 1), lambda t: t.reshape([6])),
     (lambda t: t, lambda t: t.transpose(0, 3))],
    ids=["reshape-count", "reshape-layout", "transpose-range"],
)
def test_failed_shape_operation_still_grows_the_tape(heap_growth, prepare, fail):
    """The node is recorded before computing, so every failure with gradients leaves one behind."""
    x = prepare(Tensor(np.zeros((2, 3), dtype=np.float32), requires_grad=True))
    c = prepare(Tensor(np.zeros((2, 3), dtype=np.float32)))

    def attempt(u):
        try:
            fail(u)
        except ValueError:
            pass
        else:
            raise AssertionError("the operation was expected to fail")

    try:
        recorded = heap_growth(lambda: attempt(x), count=20000)
        plain = heap_growth(lambda: attempt(c), count=20000)
    finally:
        Tensor.clear_graph()
    assert recorded > 20000 * 16
    assert plain < recorded / 10
