"""Matrix products: shapes, batch broadcasting, layouts, half precision and errors.

Oracles: float32 products are compared with the exact product (NumPy in
float64) within the float32 accumulation bound k * 2^-24 * (|A| @ |B|), on both
routes: small products run a direct loop, large ones (m * n * k above
128^3 on AVX-512 machines, 16^3 elsewhere) one BLIS call each. Half-precision
products are exact sums of exact products on integer data, rounded once: NumPy's
float16 rounding and ml_dtypes' bfloat16 rounding of the float32 value are the
oracles.
"""

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from pelor_core import Tensor

from layouts import default_strides

DTYPES = {"float32": np.float32, "float16": np.float16, "bfloat16": ml_dtypes.bfloat16}
NAME = {"float32": "F32", "float16": "F16", "bfloat16": "BF16", "bool": "Bool"}

# Above every small-product limit: these shapes take the BLIS route.
LARGE = 160


def assert_product_close(result, a, b):
    """result is the float32 product of a and b, accumulated in float32."""
    got = result.to_numpy()
    exact = np.matmul(a.astype(np.float64), b.astype(np.float64))
    assert got.dtype == np.float32 and got.shape == exact.shape
    k = a.shape[-1]
    bound = (k + 1) * 2.0**-24 * np.matmul(np.abs(a).astype(np.float64), np.abs(b).astype(np.float64))
    assert np.all(np.abs(got - exact) <= bound + 1e-30)
    assert list(result.strides) == default_strides(got.shape)


def random(rng, shape):
    return rng.standard_normal(shape).astype(np.float32)


def transposed(a, dim0, dim1):
    """A tensor holding a whose memory has axes dim0 and dim1 swapped: built
    from the swapped copy and transposed back, so it reads in place with
    non-row-major strides."""
    return Tensor(np.ascontiguousarray(np.swapaxes(a, dim0, dim1))).transpose(dim0, dim1)


SHAPES = [
    ((2, 3), (3, 4)),
    ((5, 2, 3), (3, 4)),
    ((2, 3), (5, 3, 4)),
    ((2, 1, 2, 3), (4, 3, 5)),
    ((1, 2, 3), (4, 3, 5)),
    ((3, 2, 3), (1, 3, 4)),
    ((2, 3, 1, 4, 2), (3, 1, 2, 2)),
    ((1, 1), (1, 1)),
    ((7, 1), (1, 9)),
    ((1, 9), (9, 1)),
    ((33, 17), (17, 31)),
    ((3, 40, 50), (3, 50, 20)),
    ((LARGE, LARGE), (LARGE, LARGE)),
    ((3, LARGE, 130), (130, LARGE)),
    ((2, 1, 300, 90), (3, 90, 100)),
    ((1, 4096), (4096, 600)),
    ((4096, 600), (600, 1)),
    ((600, 1), (1, 4096)),
]


@pytest.mark.parametrize("a_shape,b_shape", SHAPES)
def test_float32_product_matches_exact_within_accumulation_bound(a_shape, b_shape):
    rng = np.random.default_rng(hash((a_shape, b_shape)) & 0xFFFF)
    a, b = random(rng, a_shape), random(rng, b_shape)
    assert_product_close(Tensor(a) @ Tensor(b), a, b)


@pytest.mark.parametrize("m,k,n", [(5, 4, 6), (25, 24, 26), (1, 300, 300), (LARGE + 1, LARGE, LARGE + 2)])
@pytest.mark.parametrize("layout", ["AT", "BT", "both"])
def test_transposed_2d_operands_are_read_in_place(m, k, n, layout):
    rng = np.random.default_rng(n)
    a, b = random(rng, (m, k)), random(rng, (k, n))
    ta = transposed(a, 0, 1) if layout in ("AT", "both") else Tensor(a)
    tb = transposed(b, 0, 1) if layout in ("BT", "both") else Tensor(b)
    assert_product_close(ta @ tb, a, b)


@pytest.mark.parametrize("n", [3, 20, LARGE])
@pytest.mark.parametrize("dims", [(0, 1), (1, 2), (0, 2)])
def test_swapped_axes_of_3d_operands(n, dims):
    rng = np.random.default_rng(n)
    a, b = random(rng, (3, n, n + 1)), random(rng, (3, n + 1, n + 2))
    assert_product_close(transposed(a, *dims) @ transposed(b, *dims), a, b)
    assert_product_close(Tensor(a) @ transposed(b, *dims), a, b)


def test_result_of_transposed_operands_is_row_major_not_column_major():
    a = np.arange(6, dtype=np.float32).reshape(2, 3)
    b = np.arange(12, dtype=np.float32).reshape(3, 4)
    # .T of these tensors are column-major; the product must not inherit that.
    r = Tensor(np.ascontiguousarray(a.T)).transpose(0, 1) @ Tensor(np.ascontiguousarray(b.T)).transpose(0, 1)
    assert r.shape == [2, 4] and list(r.strides) == [4, 1]
    np.testing.assert_array_equal(r.to_numpy(), a @ b)


@pytest.mark.parametrize("k", [1, 7, 300, 1000])
def test_length_one_axes_with_any_stride(k):
    # Matrices with a length-1 axis whose stride is whatever the layout gave
    # it: both routes must accept them (BLIS checks such strides too).
    rng = np.random.default_rng(k)
    row, col, wide = random(rng, (1, k)), random(rng, (k, 1)), random(rng, (k, 8000))
    row_t = Tensor(row.T.copy()).transpose(0, 1)  # shape (1, k), strides (1, 1)
    col_t = Tensor(col.T.copy()).transpose(0, 1)  # shape (k, 1), strides (1, k)
    assert_product_close(row_t @ Tensor(wide), row, wide)
    tall = wide.T.copy()
    assert_product_close(Tensor(tall) @ col_t, tall, col)
    stacked = random(rng, (k, 1, 3))
    t = Tensor(stacked).transpose(0, 2)  # shape (3, 1, k), strides (1, 3, 3)
    assert_product_close(t @ Tensor(wide), stacked.transpose(2, 1, 0), wide)


@pytest.mark.parametrize("dtype", list(DTYPES))
@pytest.mark.parametrize(
    "a_shape,b_shape,out_shape",
    [((2, 0), (0, 3), (2, 3)), ((0, 2, 3), (3, 4), (0, 2, 4)), ((0, 3), (3, 4), (0, 4)),
     ((2, 3), (3, 0), (2, 0)), ((4, 2, 0), (0, 5), (4, 2, 5)), ((2, 1, 3, 0), (0, 0, 2), (2, 0, 3, 2))],
)
def test_empty_axes(dtype, a_shape, b_shape, out_shape):
    a = Tensor(np.ones(a_shape, dtype=np.float32).astype(DTYPES[dtype]), dtype=dtype)
    b = Tensor(np.ones(b_shape, dtype=np.float32).astype(DTYPES[dtype]), dtype=dtype)
    r = a @ b
    got = r.to_numpy()
    assert r.dtype == Tensor(np.zeros(1, dtype=DTYPES[dtype]), dtype=dtype).dtype
    assert got.shape == out_shape and list(r.strides) == default_strides(out_shape)
    assert np.all(got.astype(np.float32) == 0)  # an empty sum is +0 everywhere


def test_batch_broadcast_reuses_the_single_matrix():
    rng = np.random.default_rng(1)
    a, b = random(rng, (5, 2, 3)), random(rng, (3, 4))
    r = (Tensor(a) @ Tensor(b)).to_numpy()
    for i in range(5):
        np.testing.assert_array_equal(r[i], (Tensor(a[i]) @ Tensor(b)).to_numpy())


@pytest.mark.parametrize("route", [4, LARGE])
def test_infinities_and_nans_propagate(route):
    rng = np.random.default_rng(2)
    a, b = random(rng, (route, route)), random(rng, (route, route))
    a[0, 0], a[1, :] = np.inf, 0.0
    b[0, 1], b[2, 2] = np.nan, -np.inf
    got = (Tensor(a) @ Tensor(b)).to_numpy()
    with np.errstate(invalid="ignore"):
        want = a.astype(np.float64) @ b.astype(np.float64)
    np.testing.assert_array_equal(np.isnan(got), np.isnan(want))
    finite = np.isfinite(want)
    np.testing.assert_array_equal(got[~finite & ~np.isnan(want)], want[~finite & ~np.isnan(want)])


# Half precision: one rounding of the float32 sum.


def test_f16_sum_is_rounded_once():
    a = Tensor(np.array([[2048, 1, 1]], dtype=np.float16), dtype="float16")
    b = Tensor(np.array([[1], [1], [1]], dtype=np.float16), dtype="float16")
    r = (a @ b).to_numpy()
    assert r.dtype == np.float16 and r.tolist() == [[2050.0]]


def test_bf16_sum_is_rounded_once():
    # 256 + 1 + 1 is 258, a bfloat16 value; adding in bfloat16 gives 256.
    bf = ml_dtypes.bfloat16
    a = Tensor(np.array([[256, 1, 1]], dtype=bf), dtype="bfloat16")
    b = Tensor(np.array([[1], [1], [1]], dtype=bf), dtype="bfloat16")
    r = (a @ b).to_numpy()
    assert r.dtype == bf and r.astype(np.float32).tolist() == [[258.0]]


def half_tensor(a, dtype):
    return Tensor(np.asarray(a).astype(DTYPES[dtype]), dtype=dtype)


def rounded_once(exact, dtype):
    """The exact float32 sum (integer data keeps it exact) rounded once."""
    return exact.astype(np.float32).astype(DTYPES[dtype])


@pytest.mark.parametrize("dtype", ["float16", "bfloat16"])
@pytest.mark.parametrize(
    "a_shape,b_shape",
    [((3, 5), (5, 4)), ((2, 1, 17, 40), (3, 40, 33)), ((300, 64), (64, 300)), ((3, 100, 64), (64, 1))],
)
@pytest.mark.parametrize("layout", ["C", "T"])
def test_half_products_match_single_rounding_of_exact_sum(dtype, a_shape, b_shape, layout):
    # Integers up to 16 in magnitude and k <= 64 keep every float32 sum exact
    # (below 2^24) while the results need rounding in both 16-bit types.
    rng = np.random.default_rng(len(a_shape) * 100 + a_shape[-1])
    a = rng.integers(-16, 17, a_shape).astype(np.float32)
    b = rng.integers(-16, 17, b_shape).astype(np.float32)
    exact = np.matmul(a.astype(np.int64), b.astype(np.int64))
    if layout == "T":
        ta = half_tensor(np.ascontiguousarray(np.swapaxes(a, -1, -2)), dtype).transpose(len(a_shape) - 2, len(a_shape) - 1)
        tb = half_tensor(np.ascontiguousarray(np.swapaxes(b, -1, -2)), dtype).transpose(len(b_shape) - 2, len(b_shape) - 1)
    else:
        ta, tb = half_tensor(a, dtype), half_tensor(b, dtype)
    r = ta @ tb
    got = r.to_numpy()
    want = rounded_once(exact, dtype)
    assert got.dtype == want.dtype and got.shape == want.shape
    assert list(r.strides) == default_strides(want.shape)
    np.testing.assert_array_equal(got.view(np.uint16), want.view(np.uint16))


@pytest.mark.parametrize("dtype", ["float16", "bfloat16"])
def test_every_half_value_survives_widening_and_narrowing(dtype):
    # x @ [[1]] is x for every bit pattern (NaN stays NaN), all in one
    # column: exercises the vector conversions and their scalar tails.
    patterns = np.arange((1 << 16) + 7, dtype=np.uint32).astype(np.uint16)  # + a scalar tail
    values = patterns.view(DTYPES[dtype]).reshape(-1, 1)
    r = (half_tensor(values, dtype) @ half_tensor(np.ones((1, 1)), dtype)).to_numpy()
    wide, got = values.astype(np.float32), r.astype(np.float32)
    nan = np.isnan(wide)
    np.testing.assert_array_equal(np.isnan(got), nan)
    # a zero times one plus the empty sum +0 is +0, whatever the zero's sign
    np.testing.assert_array_equal(got[~nan], wide[~nan] + np.float32(0))


@pytest.mark.parametrize("dtype", ["float16", "bfloat16"])
@given(data=st.data())
def test_half_narrowing_of_exact_products(dtype, data):
    # A product of two 16-bit values is exact in float32 (at most 22 of its
    # 24 significand bits), so an outer product checks the narrowing rule on
    # arbitrary float32 values: overflow, subnormals and ties included.
    n = data.draw(st.integers(1, 40))
    bits = st.integers(0, 0xFFFF).filter(lambda v: (v & 0x7FFF) < (0x7C00 if dtype == "float16" else 0x7F80))
    col = np.array(data.draw(st.lists(bits, min_size=n, max_size=n)), dtype=np.uint16).view(DTYPES[dtype])
    row = np.array(data.draw(st.lists(bits, min_size=n, max_size=n)), dtype=np.uint16).view(DTYPES[dtype])
    got = (half_tensor(col.reshape(n, 1), dtype) @ half_tensor(row.reshape(1, n), dtype)).to_numpy()
    with np.errstate(all="ignore"):
        want = np.outer(col.astype(np.float32), row.astype(np.float32)).astype(DTYPES[dtype])
    # A product that underflows is -0 or +0 depending on whether it was
    # fused with the sum's +0 start: compare zeros by value.
    np.testing.assert_array_equal(unsigned_zero(got.view(np.uint16)), unsigned_zero(want.view(np.uint16)))


def unsigned_zero(bits):
    return np.where(bits & 0x7FFF == 0, 0, bits)


# Errors, in the order they are checked.


def tensor(shape, dtype="float32"):
    if dtype == "bool":
        return Tensor(np.zeros(shape, dtype=bool), dtype="bool")
    return Tensor(np.zeros(shape, dtype=np.float32).astype(DTYPES[dtype]), dtype=dtype)


@pytest.mark.parametrize(
    "a,b,exc,message",
    [
        # element types come first, whatever the shapes
        (("float32", (3,)), ("float16", (3, 2)), ValueError,
         "Tensor DType mismatch during binary execution. Cannot operate between F32 and F16."),
        (("bfloat16", (2, 3)), ("float32", (3, 2)), ValueError,
         "Tensor DType mismatch during binary execution. Cannot operate between BF16 and F32."),
        (("bool", (2, 3)), ("float32", (3, 2)), ValueError,
         "Tensor DType mismatch during binary execution. Cannot operate between Bool and F32."),
        (("bool", (3,)), ("bool", (4, 5)), TypeError,
         "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."),
        # then ranks, before inner axes
        (("float32", (3,)), ("float32", (3, 2)), RuntimeError, "Matmul requires at least 2D tensors. A: 1D, B: 2D"),
        (("float16", (2, 3)), ("float16", (3,)), RuntimeError, "Matmul requires at least 2D tensors. A: 2D, B: 1D"),
        (("float32", ()), ("float32", (4,)), RuntimeError, "Matmul requires at least 2D tensors. A: 0D, B: 1D"),
        # then inner axes, before batch shapes
        (("float32", (2, 3)), ("float32", (4, 5)), RuntimeError, "Matrix inner dimensions mismatch for matmul: 3 vs 4"),
        (("bfloat16", (2, 2, 3)), ("bfloat16", (3, 4, 5)), RuntimeError,
         "Matrix inner dimensions mismatch for matmul: 3 vs 4"),
        # then batch shapes, naming the batch shapes only
        (("float32", (2, 4, 5)), ("float32", (3, 5, 6)), RuntimeError, "Shape mismatch: cannot broadcast [2] and [3]"),
        (("float16", (2, 3, 4, 5)), ("float16", (4, 5, 6)), RuntimeError,
         "Shape mismatch: cannot broadcast [2, 3] and [4]"),
        # then the views, A before B
        (("float32", (2**40, 1, 2, 0)), ("float32", (1, 2**40, 0, 3)), RuntimeError,
         "Broadcast failed for A to [1099511627776, 1099511627776, 2, 0]"),
        (("float16", (2**40, 0, 0)), ("float16", (0, 2**30)), RuntimeError,
         "Broadcast failed for B to [1099511627776, 0, 1073741824]"),
        # then the result's size: the operands are empty, the result is not
        (("float32", (2**32, 0)), ("float32", (0, 2**32)), RuntimeError,
         "Matmul result of shape [4294967296, 4294967296] is too large to allocate"),
        # a count that fits a word but whose bytes do not: refused before allocating
        (("bfloat16", (2**31, 0)), ("bfloat16", (0, 2**31)), MemoryError,
         "Unable to allocate 4611686018427387904 elements of 4 bytes: the size exceeds the address space"),
        (("float32", (2**20, 2**22, 0)), ("float32", (0, 2**22)), RuntimeError,
         "Matmul result of shape [1048576, 4194304, 4194304] is too large to allocate"),
        # empty, but its other lengths multiply past a machine word (NumPy: "array is too big")
        (("float32", (0, 2**40, 0)), ("float32", (0, 0, 2**40)), RuntimeError,
         "Matmul result of shape [0, 1099511627776, 1099511627776] is too large to allocate"),
    ],
)
def test_errors_in_check_order(a, b, exc, message):
    with pytest.raises(exc) as info:
        tensor(a[1], a[0]) @ tensor(b[1], b[0])
    assert str(info.value) == message


def test_refused_allocation_is_an_error_not_a_crash():
    # 2^60 elements fit the address arithmetic but no allocator grants them.
    with pytest.raises(MemoryError, match=r"^Unable to allocate 4\.00 EiB \(4611686018427387904 bytes\)"):
        tensor((2**30, 0)) @ tensor((0, 2**30))


def test_operands_are_unchanged():
    rng = np.random.default_rng(3)
    a, b = random(rng, (LARGE, LARGE)), random(rng, (LARGE, LARGE))
    ta, tb = Tensor(a), Tensor(b)
    ta @ tb
    np.testing.assert_array_equal(ta.to_numpy(), a)
    np.testing.assert_array_equal(tb.to_numpy(), b)
