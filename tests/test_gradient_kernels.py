"""Gradient kernels of multiplication, division, relu and the matrix product.

Each kernel is reached through backward(). An arbitrary output gradient g is
injected by multiplying the operation's result with a constant w: the product
rule hands the operation's node ones * w, which is w exactly (broadcast to the
product's shape). Expected gradients are evaluated with NumPy (float32,
float16) and ml_dtypes (bfloat16) in the element type, one rounding per
operation, and compared bit for bit; division's gradients are the float64
values rounded once to the element type.
"""

import numpy as np
import pytest

import pelor_core
from pelor_core import Tensor

from grad_oracle import DTYPES, FLOAT_DTYPES, assert_same, cast, round_once, tensor

relu = pelor_core.nn.functional.relu





def injected(out_shape, w):
    """The gradient that `out * w` hands to out: w stretched to the product's shape."""
    return np.broadcast_to(w, np.broadcast_shapes(out_shape, w.shape))


def run(op, operands, w, dtype):
    """Grads of the operands of op(*operands) when the output gradient is w."""
    leaves = [tensor(x, dtype, requires_grad=True) for x in operands]
    out = op(*leaves)
    (out * tensor(w, dtype)).backward()
    return [leaf.grad() for leaf in leaves], out


def values(rng, shape, dtype, low=-4.0, high=4.0):
    return cast(rng.uniform(low, high, size=shape), dtype)


# ---------------------------------------------------------------------------
# Multiplication


MUL_SHAPES = [
    # (a, b, w): w's shape sets the gradient's shape (output shape stretched by w)
    ((2, 3), (2, 3), (2, 3)),
    ((2, 3), (3,), (2, 3)),
    ((3, 1), (1, 4), (3, 4)),
    ((4,), (), (2, 4)),
    ((3, 1), (1, 4), (2, 3, 4)),
    ((0, 3), (3,), (0, 3)),
]


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("a_shape, b_shape, w_shape", MUL_SHAPES)
def test_mul_gradients_are_products_with_the_other_operand(dtype, a_shape, b_shape, w_shape):
    rng = np.random.default_rng(1)
    a, b, w = (values(rng, s, dtype) for s in (a_shape, b_shape, w_shape))
    (ga, gb), out = run(lambda x, y: x * y, [a, b], w, dtype)
    g = injected(out.shape, w)
    # No reduction over broadcast axes: each gradient has the broadcast shape
    # of g and the other operand.
    assert_same(ga, g * b)
    assert_same(gb, g * a)


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_mul_gradients_round_in_the_element_type(dtype):
    # Products that overflow binary16 / lose bits in bfloat16.
    a = cast([300.0, 1.0 + 1 / 128, -7.0e4], dtype)
    b = cast([300.0, 1.0 + 1 / 128, 2.0], dtype)
    w = cast([1.0, 1.0 + 1 / 128, 3.0], dtype)
    (ga, gb), _ = run(lambda x, y: x * y, [a, b], w, dtype)
    assert_same(ga, w * b)
    assert_same(gb, w * a)


# ---------------------------------------------------------------------------
# Division


def div_reference(g, a, b):
    """g / b and -(g * a) / (b * b), exact in float64 up to the final
    quotient, rounded once to the element type."""
    dtype = next(k for k, v in DTYPES.items() if v == g.dtype)
    g, a, b = (x.astype(np.float64) for x in np.broadcast_arrays(g, a, b))
    with np.errstate(all="ignore"):
        return round_once(g / b, dtype), round_once(-(g * a) / (b * b), dtype)


# Long runs cross the kernels' vector widths and their 512-element blocks.
DIV_SHAPES = MUL_SHAPES + [
    ((2, 3), (2, 1, 3), (2, 3)),
    ((1200,), (1200,), (1200,)),
    ((37, 50), (50,), (37, 50)),
    ((40, 1), (1, 30), (3, 40, 30)),
]


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("a_shape, b_shape, w_shape", DIV_SHAPES)
def test_div_gradients_are_rounded_once(dtype, a_shape, b_shape, w_shape):
    rng = np.random.default_rng(2)
    a, w = values(rng, a_shape, dtype), values(rng, w_shape, dtype)
    b = values(rng, b_shape, dtype, 0.25, 4.0) * cast(rng.choice([-1.0, 1.0], size=b_shape), dtype)
    (ga, gb), out = run(lambda x, y: x / y, [a, b], w, dtype)
    eg, eb = div_reference(injected(out.shape, w), a, b)
    assert ga.shape == gb.shape == np.broadcast_shapes(out.shape, w.shape, a.shape, b.shape)
    assert_same(ga, eg)
    assert_same(gb, eb)


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize(
    "a, b, g",
    [
        (6.0, 3.0, 1.0),
        (1.0, 0.0, 1.0),  # +inf, -inf
        (0.0, 0.0, 1.0),  # +inf, NaN
        (-1.0, -0.0, 2.0),
        (300.0, 300.0, 1.0),  # binary16: b*b overflows, gb is not -0
        (100.0, 300.0, 1.0),
        (1.0e-3, 1.0e-3, 1.0e-3),  # tiny intermediates
        (3.0e4, 0.5, 4.0),  # binary16: (-g)*a overflows, and so does the result
        (2.0e4, 4.0, 3.0),  # binary16: (-g)*a overflows, the result does not
        (1.0e30, 1.0e20, 1.0),  # binary32, bfloat16: b*b overflows
        (1.0e-30, 1.0e-20, 1.0),
        (1.0 + 3 / 128, 1.0 + 5 / 128, 1.0 + 7 / 128),
        (np.inf, 2.0, 1.0),
        (np.nan, 2.0, 1.0),
    ],
)
def test_div_gradients_of_special_values(dtype, a, b, g):
    a, b, w = cast([a], dtype), cast([b], dtype), cast([g], dtype)
    (ga, gb), _ = run(lambda x, y: x / y, [a, b], w, dtype)
    eg, eb = div_reference(w, a, b)
    assert_same(ga, eg)
    assert_same(gb, eb)


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_div_gradients_of_a_long_run_with_special_values(dtype):
    rng = np.random.default_rng(9)
    specials = [0.0, -0.0, np.inf, -np.inf, np.nan, 3.0e4, -2.5e2, 1.0e-6, 6.0e-8]
    a, b, w = (cast(rng.choice(specials + list(rng.uniform(-9, 9, size=30)), size=1000), dtype) for _ in range(3))
    (ga, gb), _ = run(lambda x, y: x / y, [a, b], w, dtype)
    eg, eb = div_reference(w, a, b)
    assert_same(ga, eg)
    assert_same(gb, eb)


def test_div_gradients_of_documented_float32_examples():
    (ga, gb), _ = run(lambda x, y: x / y, [[6.0, 1.0, 0.0], [3.0, 0.0, 0.0]], np.ones(3, np.float32), "float32")
    assert ga[0] == np.float32(1) / np.float32(3)
    assert gb[0] == np.float32(-0.6666667)
    assert ga[1] == np.inf and gb[1] == -np.inf
    assert ga[2] == np.inf and np.isnan(gb[2])


def test_div_gradient_of_an_overflowing_square_in_binary16():
    # b*b is +inf in binary16; rounded once, -g*a/(b*b) is -1/300.
    (_, gb), _ = run(lambda x, y: x / y, [[300.0], [300.0]], np.ones(1, np.float32), "float16")
    assert gb[0] == np.float16(-1 / 300)


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_div_gradients_of_transposed_operands_are_row_major(dtype):
    rng = np.random.default_rng(3)
    a = tensor(values(rng, (3, 2), dtype), dtype, requires_grad=True)
    b = tensor(values(rng, (3, 2), dtype, 0.5, 2.0), dtype, requires_grad=True)
    at, bt = a.transpose(0, 1), b.transpose(0, 1)
    q = at / bt
    q.transpose(0, 1).backward()  # the quotient's gradient arrives transposed
    ga, gb = at.grad(), bt.grad()
    eg, eb = div_reference(np.ones((2, 3), DTYPES[dtype]), at.to_numpy(), bt.to_numpy())
    assert_same(ga, eg)
    assert_same(gb, eb)
    assert ga.flags.c_contiguous and gb.flags.c_contiguous


def test_div_gradient_of_an_empty_quotient_with_a_long_axis():
    # The quotient (1, 2^32, 0) is transposed and gains a leading axis; its
    # gradient comes back as (1, 1, 2^32, 0), and the operands' gradients
    # have that shape (no element, nothing allocated for the long axis).
    q_len = 2**32
    a = Tensor(np.empty((1, 1, 0), np.float32), requires_grad=True)
    b = Tensor(np.empty((1, q_len, 0), np.float32), requires_grad=True)
    u = (a / b).transpose(0, 1) + Tensor(np.empty((1, 1, 1, 1), np.float32))
    assert u.shape == [1, q_len, 1, 0]
    u.backward()
    assert a.grad().shape == b.grad().shape == (1, 1, q_len, 0)


# ---------------------------------------------------------------------------
# Relu


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_relu_passes_the_gradient_where_the_input_is_positive(dtype):
    x = cast([-1.0, 0.0, -0.0, 2.0, np.nan, np.inf, -np.inf, 1e-30, -1e-30, 0.5], dtype)
    w = cast([5.0, 5.0, 5.0, 5.0, 5.0, -3.0, 5.0, 7.0, 5.0, np.inf], dtype)
    (gx,), _ = run(relu, [x], w, dtype)
    x32 = x.astype(np.float32)
    expected = np.where(x32 > 0, w.astype(np.float32), np.float32(0)).astype(DTYPES[dtype])
    assert_same(gx, expected)


def test_relu_gradient_of_documented_example():
    (gx,), _ = run(relu, [[-1.0, 0.0, 2.0]], np.full(3, 5.0, np.float32), "float32")
    np.testing.assert_array_equal(gx, [0.0, 0.0, 5.0])
    assert not np.signbit(gx[:2]).any()


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("shape, w_shape", [((1100,), (1100,)), ((30, 41), (30, 41)), ((30, 41), (41,))])
def test_relu_gradient_of_long_runs(dtype, shape, w_shape):
    rng = np.random.default_rng(8)
    x = values(rng, shape, dtype)
    x.flat[::7] = 0
    w = values(rng, w_shape, dtype)
    (gx,), _ = run(relu, [x], w, dtype)
    expected = np.where(x.astype(np.float32) > 0, np.broadcast_to(w, shape).astype(np.float32), np.float32(0))
    assert_same(gx, expected.astype(DTYPES[dtype]))


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_relu_gradient_passes_a_nan_gradient_unchanged(dtype):
    x = cast([1.0, -1.0], dtype)
    (gx,), _ = run(relu, [x], cast([np.nan, np.nan], dtype), dtype)
    assert np.isnan(gx[0].astype(np.float32)) and gx[1] == 0


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("x_shape, w_shape", [((2, 3), (4, 2, 3)), ((1, 3), (2, 3)), ((), (3,)), ((3, 1), (2, 3, 5))])
def test_relu_gradient_stretches_the_mask_over_broadcast_axes(dtype, x_shape, w_shape):
    # relu(x) + c hands the relu the gradient in the sum's shape; the input's
    # mask stretches along the added and lengthened axes.
    rng = np.random.default_rng(10)
    x_v = values(rng, x_shape, dtype)
    w = values(rng, w_shape, dtype)
    x = tensor(x_v, dtype, requires_grad=True)
    r = relu(x)
    ((r + tensor(np.zeros(w_shape), dtype)) * tensor(w, dtype)).backward()
    g = np.broadcast_to(w, np.broadcast_shapes(x_shape, w_shape))
    expected = np.where(np.broadcast_to(x_v, g.shape).astype(np.float32) > 0, g.astype(np.float32), np.float32(0))
    assert_same(x.grad(), expected.astype(DTYPES[dtype]))


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_relu_gradient_layout_follows_its_operands(dtype):
    # x transposed is column-major; the gradient reaching the relu is the
    # transposed seed, column-major too, so the input's gradient is built
    # column-major.
    rng = np.random.default_rng(4)
    x = tensor(values(rng, (3, 2), dtype), dtype, requires_grad=True)
    xt = x.transpose(0, 1)
    r = relu(xt)
    r.transpose(0, 1).backward()
    g = r.grad()
    assert g.flags.f_contiguous and not g.flags.c_contiguous
    gx = xt.grad()
    assert gx.flags.f_contiguous and not gx.flags.c_contiguous
    xt_values = xt.to_numpy().astype(np.float32)
    assert_same(gx, np.where(xt_values > 0, 1.0, 0.0).astype(DTYPES[dtype]))
    assert_same(x.grad(), np.where(xt_values.T > 0, 1.0, 0.0).astype(DTYPES[dtype]))


# ---------------------------------------------------------------------------
# Matrix product


MATMUL_SHAPES = [
    # (a, b, w)
    ((2, 3), (3, 4), (2, 4)),
    ((1, 1), (1, 1), (1, 1)),
    ((5, 2, 3), (3, 4), (5, 2, 4)),
    ((3, 4), (2, 4, 5), (2, 3, 5)),
    ((2, 1, 2, 3), (4, 3, 5), (2, 4, 2, 5)),
    ((2, 3), (3, 4), (6, 2, 4)),  # the product's gradient broadcast further
    ((2, 0), (0, 3), (2, 3)),
    ((0, 2, 3), (3, 4), (0, 2, 4)),
]


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("a_shape, b_shape, w_shape", MATMUL_SHAPES)
def test_matmul_gradients_are_products_with_the_swapped_operands(dtype, a_shape, b_shape, w_shape):
    # Small integers keep every binary32 sum exact whatever the summation
    # order, so the results are compared bit for bit; the 16-bit types are
    # rounded once from binary32.
    rng = np.random.default_rng(5)
    a, b, w = (cast(rng.integers(-4, 5, size=s), dtype) for s in (a_shape, b_shape, w_shape))
    (ga, gb), out = run(lambda x, y: x @ y, [a, b], w, dtype)
    g = injected(out.shape, w).astype(np.float32)
    a32, b32 = a.astype(np.float32), b.astype(np.float32)
    assert_same(ga, np.matmul(g, np.swapaxes(b32, -1, -2)).astype(DTYPES[dtype]))
    assert_same(gb, np.matmul(np.swapaxes(a32, -1, -2), g).astype(DTYPES[dtype]))
    assert ga.flags.c_contiguous and gb.flags.c_contiguous


def test_matmul_gradients_of_ones_are_row_and_column_sums():
    rng = np.random.default_rng(6)
    a = rng.integers(-9, 10, size=(2, 3)).astype(np.float32)
    b = rng.integers(-9, 10, size=(3, 4)).astype(np.float32)
    ta, tb = Tensor(a, requires_grad=True), Tensor(b, requires_grad=True)
    (ta @ tb).backward()
    np.testing.assert_array_equal(ta.grad(), np.broadcast_to(b.sum(axis=1), (2, 3)))
    np.testing.assert_array_equal(tb.grad(), np.broadcast_to(a.sum(axis=0)[:, None], (3, 4)))


@pytest.mark.parametrize("dtype, big", [("float16", 2048.0), ("bfloat16", 256.0)])
def test_matmul_gradient_sums_in_binary32_and_rounds_once(dtype, big):
    # The gradient of a is g @ b^T = big + 1 + 1, representable in the element
    # type; rounding each partial sum to it would give big.
    (ga, gb), _ = run(lambda x, y: x @ y, [[[1.0]], [[1.0, 1.0, 1.0]]], cast([[big, 1.0, 1.0]], dtype), dtype)
    assert_same(ga, cast([[big + 2.0]], dtype))
    assert_same(gb, cast([[big, 1.0, 1.0]], dtype))


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_matmul_gradient_with_lengthened_matrix_axes_sums_them_first(dtype):
    # (a @ b) is (2, 1); multiplied by w (3, 2, 4) its gradient is w. The
    # product's rule sums the lengthened column axis and treats the leading
    # axis as a batch axis: a receives sum_j w[..., j] * b^T per batch.
    rng = np.random.default_rng(11)
    a, b = (cast(rng.integers(-4, 5, size=s), dtype) for s in ((2, 3), (3, 1)))
    w = cast(rng.integers(-4, 5, size=(3, 2, 4)), dtype)
    (ga, gb), _ = run(lambda x, y: x @ y, [a, b], w, dtype)
    g = w.astype(np.float32).sum(axis=-1, keepdims=True)  # small integers: exact
    assert_same(ga, np.matmul(g, b.astype(np.float32).T).astype(DTYPES[dtype]))
    assert_same(gb, np.matmul(a.astype(np.float32).T, g).astype(DTYPES[dtype]))
