"""A tensor combined with a Python number: + - * / and the five comparisons.

Oracles: NumPy for float32 and float16, ml_dtypes for bfloat16. The number is
narrowed to float32, rounded once to the element type, and 16-bit arithmetic
is float32 arithmetic on widened operands rounded once. Results are compared
bit for bit. bfloat16 NaN results are checked against the bfloat16 rule
(upper half of the float32 NaN with the quiet bit), since ml_dtypes writes a
canonical NaN instead.
"""

import math
import operator

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from pelor_core import Tensor

DTYPES = {"float32": np.float32, "float16": np.float16, "bfloat16": ml_dtypes.bfloat16}
FLOATS = list(DTYPES)
SHORT_NAMES = {"float32": "f32", "float16": "f16", "bfloat16": "bf16", "bool": "bool"}

ARITH = {
    "add": (operator.add, np.add),
    "sub": (operator.sub, np.subtract),
    "mul": (operator.mul, np.multiply),
    "div": (operator.truediv, np.multiply),  # t / x is t * (1 / x)
}
COMPARE = {
    "eq": (operator.eq, np.equal),
    "ge": (operator.ge, np.greater_equal),
    "gt": (operator.gt, np.greater),
    "le": (operator.le, np.less_equal),
    "lt": (operator.lt, np.less),
}

SCALARS = [
    0.0, -0.0, 1.0, -1.0, 2.0, 0.1, 1 / 3, -2.5, 1e-8, 5.96e-8, 1e-45, 2.0**-126, 1.0004,
    1 / 256, 3 / 256, 1000.0, -65504.0, 65520.0, 70000.0, 3.4e38, 1e40, -1e40, math.inf, -math.inf,
]


def bits(a):
    a = np.ascontiguousarray(a)
    return a.view(np.uint32 if a.dtype == np.float32 else np.uint16)


def every_pattern(dtype):
    """All 65536 values of a 16-bit type; a spread of float32 values otherwise."""
    if dtype != "float32":
        return np.arange(1 << 16, dtype=np.uint16).view(DTYPES[dtype])
    rng = np.random.default_rng(7)
    special = np.array([0.0, -0.0, np.inf, -np.inf, np.nan, -np.nan, 1e-45, -1e-45, 1.17e-38, 3.4e38, -3.4e38],
                       dtype=np.float32)
    random_bits = rng.integers(0, 1 << 32, size=40000, dtype=np.uint64).astype(np.uint32).view(np.float32)
    return np.concatenate([special, random_bits, rng.uniform(-10, 10, 24000).astype(np.float32)])


def to_element_type(f32, dtype):
    """float32 values rounded to the element type; bfloat16 NaNs by the bfloat16 rule."""
    with np.errstate(over="ignore"):
        out = np.asarray(f32, dtype=np.float32).astype(DTYPES[dtype])
    if dtype == "bfloat16":
        f = np.atleast_1d(np.asarray(f32, dtype=np.float32))
        nan = np.isnan(f)
        b = bits(out).reshape(f.shape).copy()
        b[nan] = ((f[nan].view(np.uint32) >> 16) | 0x40).astype(np.uint16)
        out = b.view(ml_dtypes.bfloat16).reshape(np.shape(out))
    return out


def scalar_in_element_type(x, dtype, op="add"):
    """The number as the kernel sees it, widened back to float32."""
    with np.errstate(over="ignore", divide="ignore"):
        xs = np.float32(x)
        if op == "div":
            xs = np.float32(1) / xs
    return to_element_type(np.array([xs]), dtype).astype(np.float32)[0]


def expected_arith(a, x, op, dtype):
    with np.errstate(all="ignore"):
        r = ARITH[op][1](a.astype(np.float32), scalar_in_element_type(x, dtype, op))
    return to_element_type(r, dtype)


def tensor(a, dtype, **kw):
    return Tensor(a, dtype=dtype, **kw)


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("op", ARITH)
@pytest.mark.parametrize("x", SCALARS)
def test_arithmetic_matches_oracle_on_every_pattern(dtype, op, x):
    a = every_pattern(dtype)
    with np.errstate(all="ignore"):
        out = ARITH[op][0](tensor(a, dtype), x).to_numpy()
    assert out.dtype == DTYPES[dtype] and out.shape == a.shape
    np.testing.assert_array_equal(bits(out), bits(expected_arith(a, x, op, dtype)))


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("op", COMPARE)
@pytest.mark.parametrize("x", SCALARS)
def test_comparison_matches_oracle_on_every_pattern(dtype, op, x):
    a = every_pattern(dtype)
    out = COMPARE[op][0](tensor(a, dtype), x)
    assert out.dtype == "bool" and out.shape == list(a.shape)
    expected = COMPARE[op][1](a.astype(np.float32), scalar_in_element_type(x, dtype))
    np.testing.assert_array_equal(out.to_numpy(), expected)


# Lengths around every vector width and unrolled step (8, 16, 32, 64 lanes),
# so each remainder loop is reached.
@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("n", [1, 7, 8, 9, 15, 16, 17, 31, 33, 63, 64, 65, 127, 130])
def test_every_length_takes_a_correct_path(dtype, n):
    a = every_pattern(dtype)[1000:1000 + n]
    t = tensor(a, dtype)
    for op in ARITH:
        np.testing.assert_array_equal(bits(ARITH[op][0](t, 0.75).to_numpy()), bits(expected_arith(a, 0.75, op, dtype)))
    for op in COMPARE:
        expected = COMPARE[op][1](a.astype(np.float32), np.float32(0.75))
        np.testing.assert_array_equal(COMPARE[op][0](t, 0.75).to_numpy(), expected)


@given(
    dtype=st.sampled_from(FLOATS),
    op=st.sampled_from(list(ARITH) + list(COMPARE)),
    x=st.floats(allow_nan=False),
    seed=st.integers(0, 2**32 - 1),
    n=st.integers(0, 200),
)
def test_random_scalars_and_values(dtype, op, x, seed, n):
    """Any double narrows to float32 (nearest, overflow to infinity) before it meets the tensor."""
    rng = np.random.default_rng(seed)
    width = np.uint32 if dtype == "float32" else np.uint16
    a = rng.integers(0, np.iinfo(width).max, size=n, dtype=np.uint64, endpoint=True).astype(width).view(DTYPES[dtype])
    t = tensor(a, dtype)
    with np.errstate(all="ignore"):
        if op in ARITH:
            out = ARITH[op][0](t, x).to_numpy()
            np.testing.assert_array_equal(bits(out), bits(expected_arith(a, x, op, dtype)))
        else:
            expected = COMPARE[op][1](a.astype(np.float32), scalar_in_element_type(x, dtype))
            np.testing.assert_array_equal(COMPARE[op][0](t, x).to_numpy(), expected)


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("op", ARITH)
@pytest.mark.parametrize("x", [math.nan, -math.nan])
def test_nan_scalar_gives_nan_everywhere(dtype, op, x):
    a = every_pattern(dtype)
    out = ARITH[op][0](tensor(a, dtype), x).to_numpy().astype(np.float32)
    assert np.isnan(out).all()
    if op != "div":  # 1 / NaN keeps the NaN's sign; the NaN itself propagates unchanged
        assert (np.signbit(out) == np.signbit(np.float32(x))).all()


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("op", COMPARE)
def test_nan_scalar_compares_false(dtype, op):
    out = COMPARE[op][0](tensor(every_pattern(dtype), dtype), math.nan).to_numpy()
    assert not out.any()


# The examples of the scalar-operation rules, each with its own reason.
@pytest.mark.parametrize(
    "dtype, values, fn, expected",
    [
        ("float32", [1, 2, 3], lambda t: t - 1, [0, 1, 2]),  # element minus scalar, never the reverse
        ("float32", [1, 0, -1], lambda t: t * math.inf, [math.inf, math.nan, -math.inf]),
        ("float32", [1, 0, -1], lambda t: t / 0.0, [math.inf, math.nan, -math.inf]),
        ("float32", [1, 0, -1], lambda t: t / -0.0, [-math.inf, math.nan, math.inf]),
        ("float32", [1, -2], lambda t: t + 1e40, [math.inf, math.inf]),  # 1e40 narrows to +inf
        ("float16", [1000], lambda t: t + 70000, [math.inf]),  # 70000 rounds to +inf in binary16
        ("bfloat16", [1], lambda t: t + 1 / 256, [1]),  # tie, to even
        ("bfloat16", [1], lambda t: t + 3 / 256, [1 + 1 / 64]),
        ("float32", [3], lambda t: t / 3, [3 * np.float32(1 / 3)]),  # t * (1 / x), rounded twice
        ("float32", [1, 2], lambda t: 1 + t, [2, 3]),
        ("float32", [1, 2], lambda t: t * True, [1, 2]),
    ],
)
def test_arithmetic_examples(dtype, values, fn, expected):
    with np.errstate(all="ignore"):
        out = fn(tensor(np.array(values, dtype=np.float32).astype(DTYPES[dtype]), dtype)).to_numpy()
    np.testing.assert_array_equal(out.astype(np.float32), np.array(expected, dtype=np.float32))


@pytest.mark.parametrize(
    "dtype, fn, expected",
    [
        ("float16", lambda t: t >= 1.0004, True),  # 1.0004 rounds to 1.0 in binary16
        ("float16", lambda t: t > 1.0004, False),
        ("float16", lambda t: t == 1.0004, True),
        ("float32", lambda t: t == 1.0004, False),
        ("bfloat16", lambda t: t == 1 + 1 / 256, True),
        ("float32", lambda t: t == -0.0, False),
    ],
)
def test_comparison_uses_the_rounded_scalar(dtype, fn, expected):
    out = fn(tensor(np.array([1.0], dtype=DTYPES[dtype]), dtype)).to_numpy()
    assert out.tolist() == [expected]


@pytest.mark.parametrize("dtype", FLOATS)
def test_signed_zeros_compare_equal(dtype):
    t = tensor(np.array([0.0, -0.0], dtype=DTYPES[dtype]), dtype)
    assert (t == -0.0).to_numpy().tolist() == [True, True]
    assert (t < 0.0).to_numpy().tolist() == [False, False]
    assert (t >= -0.0).to_numpy().tolist() == [True, True]


# Reflected forms: the number on the left reaches the mirrored scalar operation.
@pytest.mark.parametrize("dtype", FLOATS)
def test_reflected_operators_and_methods(dtype):
    a = np.array([[-1.0, 2.0, 3.0], [2.5, np.nan, 0.0]], dtype=DTYPES[dtype])
    t = tensor(a, dtype)

    def same(u, v):
        u, v = u.to_numpy(), v.to_numpy()
        assert u.dtype == v.dtype
        np.testing.assert_array_equal(u if u.dtype == bool else bits(u), v if v.dtype == bool else bits(v))

    same(2.0 < t, t > 2.0)
    same(2.0 > t, t < 2.0)
    same(2.0 <= t, t >= 2.0)
    same(2.0 == t, t == 2.0)
    same(t.__rgt__(2.0), t < 2.0)  # other > element
    same(t.__rlt__(2.0), t > 2.0)  # other < element
    same(t.__req__(2.0), t == 2.0)
    same(t.__rgt__(other=2), t < 2.0)
    same(3 + t, t + 3.0)
    same(3 * t, t * 3.0)
    assert (t.__rlt__(2.0)).to_numpy().tolist() == [[False, False, True], [True, False, False]]


def test_reflected_methods_narrow_like_the_operators():
    t = tensor(np.array([1.0, np.inf], dtype=np.float32), "float32")
    assert t.__req__(1e40).to_numpy().tolist() == [False, True]
    assert t.__rgt__(np.float64(1.5)).to_numpy().tolist() == [True, False]
    assert t.__rlt__(True).to_numpy().tolist() == [False, True]


@pytest.mark.parametrize("method", ["__req__", "__rgt__", "__rlt__"])
@pytest.mark.parametrize("other, exc", [("a", TypeError), (None, TypeError), ([1.0], TypeError), (10**400, OverflowError)])
def test_reflected_methods_refuse_non_numbers(method, other, exc):
    t = tensor(np.array([1.0], dtype=np.float32), "float32")
    with pytest.raises(exc, match=f"{method}\\(\\) argument 'other'"):
        getattr(t, method)(other)


def test_reflected_methods_refuse_a_tensor():
    t = tensor(np.array([1.0], dtype=np.float32), "float32")
    with pytest.raises(TypeError, match="'other'"):
        t.__req__(t)


BOOL_ERRORS = [
    (lambda b: b + 1.0, ValueError, "Tensor DType invalid during scalar add. Cannot operate between Bool and scalar."),
    (lambda b: 1.0 + b, ValueError, "Tensor DType invalid during scalar add. Cannot operate between Bool and scalar."),
    (lambda b: b - 1.0, ValueError, "Tensor DType invalid during scalar sub. Cannot operate between Bool and scalar."),
    (lambda b: b * 2.0, ValueError, "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."),
    (lambda b: b / 2.0, ValueError, "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."),
    (lambda b: b == 0.5, RuntimeError, "Tensor device or dtype mismatch for scalar == operation."),
    (lambda b: b >= 0.5, RuntimeError, "Tensor device or dtype mismatch for scalar >= operation."),
    (lambda b: b > 0.5, RuntimeError, "Tensor device or dtype mismatch for scalar > operation."),
    (lambda b: b <= 0.5, RuntimeError, "Tensor device or dtype mismatch for scalar <= operation."),
    (lambda b: b < 0.5, RuntimeError, "Tensor device or dtype mismatch for scalar < operation."),
    (lambda b: 0.5 < b, RuntimeError, "Tensor device or dtype mismatch for scalar > operation."),
    (lambda b: b.__rgt__(0.5), RuntimeError, "Tensor device or dtype mismatch for scalar < operation."),
    (lambda b: b.__rlt__(0.5), RuntimeError, "Tensor device or dtype mismatch for scalar > operation."),
    (lambda b: b.__req__(0.5), RuntimeError, "Tensor device or dtype mismatch for scalar == operation."),
]


@pytest.mark.parametrize("fn, exc, message", BOOL_ERRORS)
def test_bool_tensor_is_refused(fn, exc, message):
    b = Tensor([True, False], dtype="bool")
    with pytest.raises(exc) as info:
        fn(b)
    assert str(info.value) == message


@pytest.mark.parametrize("fn", [lambda b: b + 1.0, lambda b: b - 1.0, lambda b: b * 2.0, lambda b: b / 2.0],
                         ids=["add", "sub", "mul", "div"])
def test_refused_bool_with_gradients_still_records_a_node(heap_growth, fn):
    """Arithmetic records its node before the engine refuses Bool, so the tape grows on every failed call."""
    b = Tensor([True], dtype="bool", requires_grad=True)
    c = Tensor([True], dtype="bool")

    def attempt(u):
        with pytest.raises(ValueError):
            fn(u)

    try:
        recorded = heap_growth(lambda: attempt(b), count=20000)
        plain = heap_growth(lambda: attempt(c), count=20000)
    finally:
        Tensor.clear_graph()
    assert recorded > 20000 * 16
    assert plain < recorded / 10


# Mapping keeps the source layout: element i of the buffer gives element i.
@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("fn", [lambda t: t * 2.0, lambda t: t - 0.5, lambda t: t / 4.0, lambda t: t < 1.0],
                         ids=["mul", "sub", "div", "lt"])
@pytest.mark.parametrize("shape, dims", [((2, 3), (0, 1)), ((2, 3, 4), (0, 2)), ((2, 3, 4), (1, 2)), ((1, 5), (0, 1))])
def test_result_keeps_the_input_layout(dtype, fn, shape, dims):
    a = np.random.default_rng(1).uniform(-2, 2, size=shape).astype(DTYPES[dtype])
    t = tensor(a, dtype).transpose(*dims)
    out = fn(t)
    assert out.shape == t.shape and out.strides == t.strides
    with np.errstate(all="ignore"):
        expected = fn(tensor(np.ascontiguousarray(np.swapaxes(a, *dims)), dtype)).to_numpy()
    np.testing.assert_array_equal(out.to_numpy(), expected)


def test_transposed_input_gives_transposed_result():
    t = Tensor(np.arange(6, dtype=np.float32).reshape(2, 3)).transpose(0, 1)
    assert t.strides == [1, 3]
    assert (t + 1.0).strides == [1, 3]
    assert (t > 1.0).strides == [1, 3]


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("shape", [(0,), (0, 3), (2, 0, 4)])
def test_empty_input_gives_empty_result(dtype, shape):
    t = tensor(np.zeros(shape, dtype=DTYPES[dtype]), dtype)
    for fn, out_dtype in [(lambda u: u + 1.0, dtype), (lambda u: u * 3.0, dtype), (lambda u: u >= 0.0, "bool")]:
        out = fn(t)
        assert out.shape == list(shape) and out.dtype == SHORT_NAMES[out_dtype]
        assert out.strides == [0] * len(shape) and out.to_numpy().shape == shape


@pytest.mark.parametrize("dtype", FLOATS)
def test_zero_dimensional_tensor(dtype):
    t = tensor(np.array(1.5, dtype=DTYPES[dtype]), dtype)
    assert (t * 2.0).shape == [] and float((t * 2.0).to_numpy()) == 3.0
    assert (t > 1.0).to_numpy().item() is True


def test_gradient_flags():
    x = Tensor([1.0, 2.0], requires_grad=True)
    assert (x + 1.0).requires_grad and (x - 1.0).requires_grad and (x * 2.0).requires_grad
    assert (x / 2.0).requires_grad
    for cmp in [x == 1.0, x < 1.0, x >= 1.0, 1.0 < x, x.__rgt__(1.0)]:
        assert cmp.requires_grad is False and cmp.dtype == "bool"
    c = Tensor([1.0, 2.0])
    assert not (c * 2.0).requires_grad


def test_operands_are_not_changed():
    a = np.array([1.0, -2.0], dtype=np.float32)
    t = Tensor(a)
    u = t
    t += 1.0
    assert u.to_numpy().tolist() == [1.0, -2.0]
    assert t.to_numpy().tolist() == [2.0, -1.0]
