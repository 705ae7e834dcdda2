"""Element-wise arithmetic and comparisons between two tensors.

Oracles: NumPy for float32 and float16 (its float16 arithmetic rounds the
float32 result once, which is the correctly rounded binary16 result) and
ml_dtypes for bfloat16 (float32 arithmetic rounded once). Values are compared
bit for bit; a NaN result is compared by NaN-ness, because NumPy and ml_dtypes
choose NaN payloads their own way (ml_dtypes writes a canonical NaN). NaN
payloads are checked separately against the rule: a NaN operand comes back
quieted with its sign and payload, whichever route the kernel takes.
"""

import operator

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from pelor_core import Tensor

DTYPES = {"float32": np.float32, "float16": np.float16, "bfloat16": ml_dtypes.bfloat16}
FLOATS = list(DTYPES)
ARITH = {"add": operator.add, "sub": operator.sub, "mul": operator.mul, "div": operator.truediv}
COMPARE = {"eq": operator.eq, "ge": operator.ge, "gt": operator.gt, "le": operator.le, "lt": operator.lt}
SYMBOL = {"eq": "==", "ge": ">=", "gt": ">", "le": "<=", "lt": "<"}
NAME = {"float32": "F32", "float16": "F16", "bfloat16": "BF16", "bool": "Bool"}
QUIET_BIT = {"float32": 0x400000, "float16": 0x200, "bfloat16": 0x40}


def bits(a):
    a = np.ascontiguousarray(a)
    return a.view({4: np.uint32, 2: np.uint16, 1: np.uint8}[a.dtype.itemsize])


def is_nan(a):
    return np.isnan(np.asarray(a).astype(np.float32))


def tensor(a, dtype):
    return Tensor(np.asarray(a), dtype=dtype)


def laid_out(a, dtype, layout):
    """A tensor with a's values: "C" row-major, "T" with its first and last axes swapped in memory."""
    if layout == "C" or a.ndim < 2:
        return tensor(a, dtype)
    return tensor(np.ascontiguousarray(np.swapaxes(a, 0, -1)), dtype).transpose(0, a.ndim - 1)


def expected(fn, x, y):
    with np.errstate(all="ignore"):
        return fn(x, y)


def assert_matches(result, want):
    """Same dtype, shape and values; float bits equal except that NaN matches any NaN."""
    got = result.to_numpy()
    assert got.dtype == want.dtype and got.shape == want.shape
    if want.dtype == np.bool_:
        np.testing.assert_array_equal(got, want)
        return
    nan = is_nan(want)
    np.testing.assert_array_equal(is_nan(got), nan)
    np.testing.assert_array_equal(bits(got)[~nan], bits(want)[~nan])


def special_values(dtype):
    """Signed zeros, infinities, NaNs, extreme finite and subnormal values, ties."""
    f = [0.0, -0.0, np.inf, -np.inf, np.nan, 1.0, -1.0, 1 / 256, 3 / 256, 0.0001, 60000.0, 10000.0, 65504.0,
         2.0**-24, 2.0**-14, 1e-45, 1.2e-38, 3.4e38, -3.4e38, 1 / 3]
    with np.errstate(over="ignore"):
        return np.array(f, dtype=np.float32).astype(DTYPES[dtype])


def random_values(dtype, n, seed):
    """Uniformly random bit patterns (every class of value, NaN payloads included) and ordinary numbers."""
    rng = np.random.default_rng(seed)
    width = np.uint32 if dtype == "float32" else np.uint16
    patterns = rng.integers(0, np.iinfo(width).max, size=n, dtype=np.uint64, endpoint=True).astype(width)
    numbers = rng.uniform(-4, 4, n).astype(np.float32).astype(DTYPES[dtype])
    return np.concatenate([patterns.view(DTYPES[dtype]), numbers])


def operand_pairs(dtype):
    """Every pair of special values, then random values (odd length, so vector tails run too)."""
    s = special_values(dtype)
    x, y = np.meshgrid(s, s)
    return (np.concatenate([x.ravel(), random_values(dtype, 2049, 1)]),
            np.concatenate([y.ravel(), random_values(dtype, 2049, 2)]))


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("op", ARITH)
def test_arithmetic_matches_oracle(dtype, op):
    x, y = operand_pairs(dtype)
    assert_matches(ARITH[op](tensor(x, dtype), tensor(y, dtype)), expected(ARITH[op], x, y))


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("op", COMPARE)
def test_comparison_matches_oracle(dtype, op):
    x, y = operand_pairs(dtype)
    result = COMPARE[op](tensor(x, dtype), tensor(y, dtype))
    assert result.dtype == "bool"
    assert_matches(result, expected(COMPARE[op], x, y))


@pytest.mark.parametrize("op", COMPARE)
def test_bool_comparison_orders_false_before_true(op):
    x = np.array([False, False, True, True])
    y = np.array([False, True, False, True])
    assert_matches(COMPARE[op](tensor(x, "bool"), tensor(y, "bool")), expected(COMPARE[op], x, y))


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("op", ARITH)
def test_nan_operand_keeps_its_payload_on_every_route(dtype, op):
    """One NaN operand: the result is that NaN, quieted, on the contiguous, broadcast and strided paths."""
    width = np.uint32 if dtype == "float32" else np.uint16
    top = {"float32": 0x7F800000, "float16": 0x7C00, "bfloat16": 0x7F80}[dtype]
    payloads = [1, 2, 3, QUIET_BIT[dtype] - 1, QUIET_BIT[dtype], QUIET_BIT[dtype] | 5]
    sign = 0x80000000 if dtype == "float32" else 0x8000
    nans = np.array([top | p for p in payloads] + [sign | top | p for p in payloads], dtype=width)
    nans = np.tile(nans, 7)  # 84 elements: full vectors and a tail
    finite = np.linspace(-3, 3, nans.size).astype(np.float32).astype(DTYPES[dtype])
    want = nans | QUIET_BIT[dtype]
    x = nans.view(DTYPES[dtype])
    fn = ARITH[op]
    for left, right in [(x, finite), (finite, x)]:
        results = [
            fn(tensor(left, dtype), tensor(right, dtype)),
            # both operands strided: columns of a transposed (3, n) array
            fn(tensor(np.ascontiguousarray(np.stack([left] * 3, 1)), dtype).transpose(0, 1),
               tensor(np.ascontiguousarray(np.stack([right] * 3, 1)), dtype).transpose(0, 1)),
        ]
        for k in (0, 5, 83):  # one side a broadcast scalar
            one = lambda v: tensor(v[k:k + 1], dtype)
            results.append(fn(one(left), tensor(right, dtype)) if left is x else fn(tensor(left, dtype), one(right)))
            scalar_want = np.full(nans.size, want[k], dtype=width)
            np.testing.assert_array_equal(bits(results[-1].to_numpy()), scalar_want)
        np.testing.assert_array_equal(bits(results[0].to_numpy()), want)
        np.testing.assert_array_equal(bits(results[1].to_numpy()), np.stack([want] * 3))


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("op", list(ARITH) + list(COMPARE))
def test_every_path_gives_the_same_bits(dtype, op):
    """Contiguous, strided and broadcast-scalar runs agree with each other (NaN payloads included)."""
    fn = {**ARITH, **COMPARE}[op]
    x, y = random_values(dtype, 300, 3), random_values(dtype, 300, 4)
    both_nan = is_nan(x) & is_nan(y)  # which payload wins is then the processor's choice
    flat = fn(tensor(x, dtype), tensor(y, dtype)).to_numpy()
    # (3, n) transposed views: every run is strided
    strided = fn(tensor(np.ascontiguousarray(np.stack([x] * 3, 1)), dtype).transpose(0, 1),
                 tensor(np.ascontiguousarray(np.stack([y] * 3, 1)), dtype).transpose(0, 1)).to_numpy()
    for row in strided:
        np.testing.assert_array_equal(bits(row)[~both_nan], bits(flat)[~both_nan])
        np.testing.assert_array_equal(is_nan(row), is_nan(flat))
    # each y element as a broadcast scalar against all of x
    for k in range(0, y.size, 37):
        col = fn(tensor(x, dtype), tensor(y[k:k + 1], dtype)).to_numpy()
        keep = ~(is_nan(x) & is_nan(y[k]))
        want = fn(tensor(x, dtype), tensor(np.full_like(x, y[k]), dtype)).to_numpy()
        np.testing.assert_array_equal(bits(col)[keep], bits(want)[keep])


# The documented examples, each with its reason.
@pytest.mark.parametrize(
    "dtype, x, y, fn, want",
    [
        ("float32", [1, 2, 3], [[10], [20]], operator.add, [[11, 12, 13], [21, 22, 23]]),
        ("float32", [1, -1, 0], [0, 0, 0], operator.truediv, [np.inf, -np.inf, np.nan]),
        ("float16", [60000], [10000], operator.add, [np.inf]),  # beyond 65504
        ("float16", [1], [0.0001], operator.add, [1]),  # rounds back to 1
        ("bfloat16", [1], [1 / 256], operator.add, [1]),  # a tie, to even
        ("bfloat16", [1], [3 / 256], operator.add, [1 + 1 / 64]),
        ("float32", [5], [3], operator.sub, [2]),  # left operand first
        ("float32", [6], [3], operator.truediv, [2]),
    ],
)
def test_documented_arithmetic(dtype, x, y, fn, want):
    cast = lambda v: np.array(v, dtype=np.float32).astype(DTYPES[dtype])
    out = fn(tensor(cast(x), dtype), tensor(cast(y), dtype)).to_numpy().astype(np.float32)
    np.testing.assert_array_equal(out, np.array(want, dtype=np.float32))


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize(
    "x, y, op, want",
    [
        (np.nan, np.nan, "eq", False),
        (np.nan, 1.0, "lt", False),
        (np.nan, 1.0, "ge", False),
        (-0.0, 0.0, "eq", True),
        (-0.0, 0.0, "lt", False),
        (0.0, -0.0, "gt", False),
        (-0.0, 0.0, "le", True),
    ],
)
def test_documented_comparisons(dtype, x, y, op, want):
    cast = lambda v: np.array([v], dtype=np.float32).astype(DTYPES[dtype])
    out = COMPARE[op](tensor(cast(x), dtype), tensor(cast(y), dtype)).to_numpy()
    assert out.tolist() == [want]


# ---- element types and messages ---------------------------------------------------------------------------------

BOOL_ARITH = "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."


def of(dtype, shape=(2, 3)):
    return Tensor(np.zeros(shape, dtype=np.float32).astype(DTYPES.get(dtype, np.bool_)), dtype=dtype)


@pytest.mark.parametrize("op", ARITH)
@pytest.mark.parametrize("shapes", [((2, 3), (2, 3)), ((2, 3), (3, 2))])  # the type check comes first
def test_bool_arithmetic_is_a_type_error(op, shapes):
    with pytest.raises(TypeError) as e:
        ARITH[op](of("bool", shapes[0]), of("bool", shapes[1]))
    assert str(e.value) == BOOL_ARITH


@pytest.mark.parametrize("op", ARITH)
@pytest.mark.parametrize("left, right", [(a, b) for a in NAME for b in NAME if a != b])
@pytest.mark.parametrize("shapes", [((2, 3), (2, 3)), ((2, 3), (3, 2))])
def test_arithmetic_dtype_mismatch_names_left_then_right(op, left, right, shapes):
    with pytest.raises(ValueError) as e:
        ARITH[op](of(left, shapes[0]), of(right, shapes[1]))
    assert str(e.value) == (f"Tensor DType mismatch during binary execution. "
                            f"Cannot operate between {NAME[left]} and {NAME[right]}.")


@pytest.mark.parametrize("op", COMPARE)
@pytest.mark.parametrize("left, right", [("float32", "float16"), ("bfloat16", "float32"), ("bool", "float16"),
                                         ("float32", "bool")])
@pytest.mark.parametrize("shapes", [((2, 3), (2, 3)), ((2, 3), (3, 2))])
def test_comparison_dtype_mismatch(op, left, right, shapes):
    with pytest.raises(RuntimeError) as e:
        COMPARE[op](of(left, shapes[0]), of(right, shapes[1]))
    assert str(e.value) == f"Tensor device or dtype mismatch for element-wise {SYMBOL[op]} operation."


@pytest.mark.parametrize("op, dtype", [(op, d) for op in [*ARITH, *COMPARE] for d in FLOATS + ["bool"]
                                       if not (d == "bool" and op in ARITH)])  # Bool arithmetic fails on its type
def test_shape_mismatch_is_a_runtime_error(op, dtype):
    with pytest.raises(RuntimeError) as e:
        {**ARITH, **COMPARE}[op](of(dtype, (2, 3)), of(dtype, (3, 2)))
    assert str(e.value) == "Shape mismatch: cannot broadcast [2, 3] and [3, 2]"


@pytest.mark.parametrize("dtype", FLOATS)
def test_arithmetic_keeps_the_element_type(dtype):
    t = of(dtype)
    for fn in ARITH.values():
        assert fn(t, t).dtype == {"float32": "f32", "float16": "f16", "bfloat16": "bf16"}[dtype]


# ---- result layout ------------------------------------------------------------------------------------------------

def column_major(shape):
    strides, step = [], 1
    for d in shape:
        strides.append(step)
        step *= d
    return strides


def row_major(shape):
    return column_major(shape[::-1])[::-1]


# Operands of common shape (4, 3, 2) in each layout class, built from dense storages.
def row():  # standard layout
    return tensor(np.arange(24, dtype=np.float32).reshape(4, 3, 2), "float32")


def column():  # strides (1, 4, 12)
    return tensor(np.arange(24, dtype=np.float32).reshape(2, 3, 4), "float32").transpose(0, 2)


def row_leaning():  # strides (2, 8, 1): last axis contiguous
    return tensor(np.arange(24, dtype=np.float32).reshape(3, 4, 2), "float32").transpose(0, 1)


def column_leaning():  # strides (1, 8, 4): first axis contiguous, not column-major
    return tensor(np.arange(24, dtype=np.float32).reshape(3, 2, 4), "float32").transpose(0, 2).transpose(1, 2)


def neither():  # strides (6, 1, 3)
    return tensor(np.arange(24, dtype=np.float32).reshape(4, 2, 3), "float32").transpose(1, 2)


def broadcast_row_leaning():  # (3, 2) viewed as (4, 3, 2): strides (0, 2, 1)
    return tensor(np.arange(6, dtype=np.float32).reshape(3, 2), "float32")


def broadcast_column_leaning():  # (4, 1, 1) viewed as (4, 3, 2): strides (1, 0, 0)
    return tensor(np.arange(4, dtype=np.float32).reshape(4, 1, 1), "float32")


def broadcast_neither():  # a single element viewed as (4, 3, 2): all strides 0
    return tensor(np.float32(7), "float32")


@pytest.mark.parametrize(
    "left, right, column_result",
    [
        (row, row, False),
        (column, column, True),  # every operand column-major
        (column, row, False),  # scores -2 + 2
        (row, column, False),
        (column, row_leaning, True),  # -2 + 1
        (column, broadcast_row_leaning, True),  # a transposed operand with a stride-0 view
        (column, neither, True),  # -2 + 0
        (column, broadcast_neither, True),
        (row_leaning, row_leaning, False),
        (column_leaning, column_leaning, True),  # -1 - 1
        (column_leaning, row_leaning, False),  # -1 + 1
        (column_leaning, neither, True),  # -1
        (broadcast_column_leaning, neither, True),  # a stride-0 view can lean too
        (row, column_leaning, False),
        (neither, neither, False),  # score 0, and not all column-major
        (broadcast_neither, neither, False),
        (row, broadcast_neither, False),
    ],
)
def test_result_layout_follows_the_operands(left, right, column_result):
    a, b = left(), right()
    want = expected(operator.add, a.to_numpy(), b.to_numpy())
    for fn in (operator.add, operator.lt):
        r = fn(a, b)
        assert r.shape == [4, 3, 2]
        assert r.strides == (column_major if column_result else row_major)([4, 3, 2])
    assert_matches(a + b, want)


def test_two_transposed_matrices_give_column_major():
    x = tensor(np.arange(6, dtype=np.float32).reshape(2, 3), "float32").transpose(0, 1)
    r = x * x
    assert (r.shape, r.strides) == ([3, 2], [1, 3])
    assert_matches(r, x.to_numpy() * x.to_numpy())


@pytest.mark.parametrize(
    "other, strides",
    [
        (np.ones(2, np.float32), [1, 3]),  # stride-0 broadcast view: column-major
        (np.ones((3, 1), np.float32), [1, 3]),
        (np.ones((3, 2), np.float32), [2, 1]),  # a row-major operand wins
    ],
)
def test_transposed_matrix_with_another_operand(other, strides):
    x = tensor(np.arange(6, dtype=np.float32).reshape(2, 3), "float32").transpose(0, 1)
    for r in (x + tensor(other, "float32"), tensor(other, "float32") - x):
        assert r.strides == strides
    assert_matches(x / tensor(other, "float32"), expected(operator.truediv, x.to_numpy(), other))


@pytest.mark.parametrize("shape_a, shape_b, shape", [((2, 0), (1,), (2, 0)), ((0, 3), (0, 1), (0, 3)),
                                                     ((0,), (0,), (0,)), ((3, 1, 0), (1, 4, 1), (3, 4, 0))])
def test_zero_length_axes_give_empty_results(shape_a, shape_b, shape):
    a, b = of("float32", shape_a), of("float32", shape_b)
    for fn in (operator.add, operator.ge):
        r = fn(a, b)
        assert r.shape == list(shape) and r.strides == [0] * len(shape)
        assert r.to_numpy().shape == shape


# ---- randomised differential test ---------------------------------------------------------------------------------

@given(
    shapes=hnp.mutually_broadcastable_shapes(num_shapes=2, min_dims=0, max_dims=4, min_side=0, max_side=5),
    dtype=st.sampled_from(FLOATS + ["bool"]),
    op=st.sampled_from(list(ARITH) + list(COMPARE)),
    layouts=st.tuples(st.sampled_from("CT"), st.sampled_from("CT")),
    seed=st.integers(0, 2**32 - 1),
)
def test_random_shapes_layouts_and_values(shapes, dtype, op, layouts, seed):
    if dtype == "bool" and op in ARITH:
        op = "eq"
    sa, sb = shapes.input_shapes
    rng = np.random.default_rng(seed)

    def values(shape):
        n = int(np.prod(shape))
        if dtype == "bool":
            return rng.integers(0, 2, size=shape).astype(np.bool_)
        pool = np.concatenate([special_values(dtype), random_values(dtype, n, int(rng.integers(1 << 30)))])
        return rng.permutation(pool)[:n].reshape(shape)

    x, y = values(sa), values(sb)
    fn = {**ARITH, **COMPARE}[op]
    r = fn(laid_out(x, dtype, layouts[0]), laid_out(y, dtype, layouts[1]))
    assert_matches(r, expected(fn, x, y))
    # Always a dense result in row-major or column-major order.
    assert r.strides in (row_major(r.shape) if 0 not in r.shape else [0] * r.ndim,
                         column_major(r.shape) if 0 not in r.shape else [0] * r.ndim)
