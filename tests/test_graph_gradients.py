"""Gradients of whole graphs against PyTorch, whatever broadcasting, reshapes
and transposes happen between a tensor and the root.

The invariant checked everywhere: every published gradient, leaves and
intermediates alike, has the tensor's own shape or one that the tensor's shape
broadcasts to (extra leading axes, longer axes where the tensor has length 1),
and summed over those axes it equals PyTorch's gradient of the sum of the
root's elements. PyTorch runs in float64 on the same (rounded) inputs, so it
gives the true gradient; the tolerances allow a rounding in the element type
per operation along the way.

Random graphs come from fixed seeds: a few hundred per run, many more under
the long profile (PELOR_HYPOTHESIS_PROFILE=long).
"""

import os

import numpy as np
import pytest

torch = pytest.importorskip("torch")

import pelor_core  # noqa: E402
from pelor_core import Tensor  # noqa: E402

from grad_oracle import DTYPES, cast  # noqa: E402

relu = pelor_core.nn.functional.relu

LONG = os.environ.get("PELOR_HYPOTHESIS_PROFILE") == "long"
GRAPHS = {"float32": 3000 if LONG else 300, "float16": 1000 if LONG else 100, "bfloat16": 1000 if LONG else 100}
# Unit roundoff of each element type.
EPS = {"float32": 2.0**-24, "float16": 2.0**-11, "bfloat16": 2.0**-8}


@pytest.fixture(autouse=True)
def fresh_tape():
    Tensor.clear_graph()
    yield
    Tensor.clear_graph()


def reduce_to(grad, shape):
    """`grad` summed over the axes that broadcasting `shape` to it adds or
    stretches; fails unless `shape` broadcasts to grad's shape."""
    shape = tuple(shape)
    lead = grad.ndim - len(shape)
    assert lead >= 0, f"gradient {grad.shape} has fewer axes than its tensor {shape}"
    assert np.broadcast_shapes(shape, grad.shape) == grad.shape, f"{shape} does not broadcast to {grad.shape}"
    g = grad.astype(np.float64).sum(axis=tuple(range(lead)))
    stretched = tuple(i for i, n in enumerate(shape) if n == 1 and g.shape[i] != 1)
    return g.sum(axis=stretched, keepdims=True).reshape(shape)


class Graph:
    """One graph built twice: in pelor_core (element type `dtype`) and in
    PyTorch (float64, from the same rounded values)."""

    def __init__(self, dtype, rng):
        self.dtype, self.rng = dtype, rng
        self.values = []  # (ours, torch's) pairs that require gradients
        self.log = []

    def leaf(self, shape, low=-2.0, high=2.0, requires_grad=True, away_from_zero=False):
        v = self.rng.uniform(low, high, size=shape)
        if away_from_zero:
            v = np.where(v < 0, v - 0.5, v + 0.5)
        v = cast(v, self.dtype)
        ours = Tensor(v, dtype=self.dtype, requires_grad=requires_grad)
        theirs = torch.tensor(v.astype(np.float64), requires_grad=requires_grad)
        if requires_grad:
            self.values.append((ours, theirs))
        return ours, theirs

    def keep(self, ours, theirs, what):
        theirs.retain_grad()
        self.values.append((ours, theirs))
        self.log.append(f"{what} -> {tuple(ours.shape)}")
        return ours, theirs

    def check(self, root):
        root[0].backward()
        root[1].backward(torch.ones_like(root[1]))
        # A rounding per operation, each at most EPS relative to the largest
        # gradient, with headroom for sums that pass through several of them.
        tol = 16 * EPS[self.dtype] * (len(self.log) + 1)
        for ours, theirs in self.values:
            want = theirs.grad
            got = ours.grad()
            if want is None:
                assert got is None, self.log
                continue
            want = want.numpy()
            assert got is not None and got.dtype == DTYPES[self.dtype], self.log
            reduced = reduce_to(got, ours.shape)
            assert reduced.shape == want.shape == tuple(ours.shape)
            scale = 1.0 + np.abs(want).max(initial=0.0)
            np.testing.assert_allclose(reduced, want, rtol=tol, atol=tol * scale, err_msg=str(self.log))


# ---------------------------------------------------------------------------
# Random graphs


def partner_shape(rng, shape):
    """A shape that broadcasts with `shape`: some axes of length 1, some of
    ours stretched, leading axes added or dropped."""
    out = []
    for n in shape:
        r = rng.random()
        if r < 0.25:
            out.append(1)
        elif r < 0.5 and n == 1:
            out.append(int(rng.integers(2, 4)))
        else:
            out.append(n)
    r = rng.random()
    if r < 0.3:
        out = [int(rng.integers(1, 4)) for _ in range(rng.integers(1, 3))] + out
    elif r < 0.45 and out:
        out = out[rng.integers(1, len(out) + 1):]
    return tuple(out)


def reshape_target(rng, count):
    dims = []
    while count > 1 and len(dims) < 4:
        d = [f for f in range(2, count + 1) if count % f == 0]
        f = int(rng.choice(d))
        dims.append(f)
        count //= f
    dims.extend([1] * int(rng.integers(0, 2)))
    rng.shuffle(dims)
    return dims


def broadcastable(s, t):
    try:
        np.broadcast_shapes(s, t)
        return True
    except ValueError:
        return False


def in_range(a, limit=1.0e3):
    a = a.astype(np.float64)
    return a.size <= 256 and np.isfinite(a).all() and np.abs(a).max(initial=0.0) <= limit


def away_from_zero(a, dtype):
    """Far enough from 0 that rounding cannot move it across: a relu's input
    or a divisor."""
    a = a.astype(np.float64)
    return a.size == 0 or np.abs(a).min() >= 0.25


def random_step(g, pick):
    """One random operation on a value from the graph; None if it does not fit."""
    rng, dtype = g.rng, g.dtype
    x, tx = pick()
    shape = tuple(x.shape)
    op = rng.choice(["add", "sub", "mul", "div", "relu", "scalar", "transpose", "reshape", "matmul"])
    if op in ("add", "sub", "mul", "div"):
        other = g.values[rng.integers(len(g.values))] if rng.random() < 0.3 else None
        if other is None or not broadcastable(tuple(other[0].shape), shape):
            other = g.leaf(partner_shape(rng, shape), requires_grad=bool(rng.random() < 0.5),
                           away_from_zero=op == "div")
        swap = rng.random() < 0.5
        (a, ta), (b, tb) = ((other, (x, tx)) if swap else ((x, tx), other))
        if op == "div" and not away_from_zero(b.to_numpy(), dtype):
            return None
        sym = {"add": "+", "sub": "-", "mul": "*", "div": "/"}[op]
        fn = {"+": lambda p, q: p + q, "-": lambda p, q: p - q, "*": lambda p, q: p * q, "/": lambda p, q: p / q}[sym]
        y = fn(a, b)
        if not in_range(y.to_numpy()):
            return None
        return g.keep(y, fn(ta, tb), f"{tuple(a.shape)} {sym} {tuple(b.shape)}")
    if op == "relu":
        if not away_from_zero(x.to_numpy(), dtype):
            return None
        return g.keep(relu(x), torch.relu(tx), f"relu {shape}")
    if op == "scalar":
        s = float(cast([rng.choice([-1.5, -0.5, 0.75, 2.0, 3.0])], dtype)[0])
        k = rng.integers(4)
        fn = [lambda p: p + s, lambda p: p - s, lambda p: p * s, lambda p: p / s][k]
        y = fn(x)
        if not in_range(y.to_numpy()):
            return None
        # Division by s multiplies by the binary32 reciprocal.
        ty = tx * float(np.float32(1) / np.float32(s)) if k == 3 else fn(tx)
        return g.keep(y, ty, f"{shape} {'+-*/'[k]} {s}")
    if op == "transpose":
        if not shape:
            return None
        d0, d1 = (int(d) for d in rng.integers(0, len(shape), size=2))
        return g.keep(x.transpose(d0, d1), tx.transpose(d0, d1), f"{shape}.transpose({d0}, {d1})")
    if op == "reshape":
        target = reshape_target(rng, int(np.prod(shape, dtype=np.int64)))
        try:
            y = x.reshape(target)
        except ValueError:  # the forward reshape of a transposed tensor is refused
            return None
        return g.keep(y, tx.reshape(target), f"{shape}.reshape({target})")
    # matmul: ours as the left or the right operand, batch axes broadcast
    if len(shape) < 2:
        return None
    batch = partner_shape(rng, shape[:-2]) if len(shape) > 2 else partner_shape(rng, ())
    k = int(rng.integers(1, 4))
    left = rng.random() < 0.5
    other_shape = batch + ((shape[-1], k) if left else (k, shape[-2]))
    other = g.leaf(other_shape, requires_grad=bool(rng.random() < 0.5))
    try:
        (a, ta), (b, tb) = ((x, tx), other) if left else (other, (x, tx))
        y = a @ b
    except RuntimeError:
        return None
    if not in_range(y.to_numpy()):
        return None
    return g.keep(y, ta @ tb, f"{tuple(a.shape)} @ {tuple(b.shape)}")


def random_graph(dtype, seed):
    rng = np.random.default_rng(seed)
    g = Graph(dtype, rng)
    for _ in range(rng.integers(1, 3)):
        g.leaf(tuple(int(n) for n in rng.integers(1, 4, size=rng.integers(0, 4))))
    last = g.values[-1]

    def pick():
        # Mostly the latest result; sometimes an earlier one, which is then reused.
        return last if rng.random() < 0.6 else g.values[rng.integers(len(g.values))]

    for _ in range(rng.integers(3, 10)):
        step = random_step(g, pick)
        if step is not None:
            last = step
    return g, last


@pytest.mark.parametrize("dtype", list(DTYPES))
def test_random_graphs_match_pytorch(dtype):
    for seed in range(GRAPHS[dtype]):
        Tensor.clear_graph()
        g, root = random_graph(dtype, seed)
        g.check(root)


# ---------------------------------------------------------------------------
# Graphs that used to fail or give wrong gradients. Each builds its result
# from leaves, constants `c(...)` and `relu` in either library.


def differentiate_both(build, leaves, dtype="float32"):
    """Runs `build` in both libraries; returns the leaves' gradients from
    pelor_core (as published) and from PyTorch."""
    ours = [Tensor(cast(v, dtype), dtype=dtype, requires_grad=True) for v in leaves]
    theirs = [torch.tensor(cast(v, dtype).astype(np.float64), requires_grad=True) for v in leaves]

    def ours_c(v):
        return Tensor(cast(v, dtype), dtype=dtype)

    def theirs_c(v):
        return torch.tensor(cast(v, dtype).astype(np.float64))

    build(ours_c, relu, *ours).backward()
    r = build(theirs_c, torch.relu, *theirs)
    r.backward(torch.ones_like(r))
    return [t.grad() for t in ours], [t.grad.numpy() for t in theirs]


ones = np.ones
CASES = {
    # A transposed gradient reaches a reshape.
    "reshape then transpose": ([np.arange(6.0)], lambda c, relu, x: x.reshape([2, 3]).transpose(0, 1)),
    "reshape then transpose, 3 axes": (
        [np.arange(24.0)], lambda c, relu, x: x.reshape([2, 3, 4]).transpose(0, 2) * c(np.arange(24.0).reshape(4, 3, 2))),
    # The transpose of a gradient that gained leading axes.
    "transpose under a leading axis": ([np.arange(6.0).reshape(2, 3)], lambda c, relu, x: x.transpose(0, 1) * c(ones((4, 3, 2)))),
    "transpose against (3,1,3,1,3)": (
        [np.arange(9.0).reshape(3, 3)],
        lambda c, relu, x: x.transpose(0, 1) * c(np.arange(27.0).reshape(3, 1, 3, 1, 3) / 10)),
    # relu's mask stretches over the gradient's broadcast axes.
    "relu of a broadcast result": ([[1.0, -2.0, 3.0]], lambda c, relu, b: relu(b) + c(ones((5, 3)))),
    "relu stretched along a length-1 axis": ([[[1.0, -2.0, 3.0]]], lambda c, relu, b: relu(b) * c(np.arange(6.0).reshape(2, 3))),
    # A product whose matrix axes broadcasting lengthened.
    "matmul (2, 1) times (2, 4)": (
        [np.arange(6.0).reshape(2, 3), [[1.0], [-1.0], [2.0]]],
        lambda c, relu, a, w: (a @ w) * c(np.arange(8.0).reshape(2, 4))),
    "row normalisation": ([np.arange(1.0, 7.0).reshape(2, 3)], lambda c, relu, x: x / (x @ c(ones((3, 1))))),
    "matmul lengthened in both matrix axes and the batch": (
        [np.arange(3.0).reshape(1, 3), np.arange(3.0).reshape(3, 1)],
        lambda c, relu, a, b: (a @ b) * c(np.arange(24.0).reshape(2, 3, 4))),
    # A reshape whose gradient has lengthened or leading axes.
    "reshape lengthened": ([[[1.0], [2.0]]], lambda c, relu, x: x.reshape([1, 2]) * c(np.arange(6.0).reshape(3, 2))),
    "reshape under leading axes": ([np.arange(6.0)], lambda c, relu, x: x.reshape([2, 3]) + c(ones((4, 2, 3)))),
    # Contributions of different shapes to one tensor.
    "one leaf broadcast two ways": (
        [[1.0, 2.0, 3.0]],
        lambda c, relu, x: (x + c(ones((2, 3)))).reshape([6]) + (x * c(np.arange(12.0).reshape(4, 3))).reshape([2, 6])),
    "contributions swapped and broadcast": (
        [np.arange(1.0, 7.0).reshape(2, 3)],
        lambda c, relu, x: (x.transpose(0, 1) + c(np.zeros((5, 3, 2))))
        + (x * c(np.arange(30.0).reshape(5, 2, 3))).transpose(1, 2)),
    "no replicated contribution": (
        [[[1.0]], [[1.0], [2.0], [3.0], [4.0]]],
        lambda c, relu, x, a: (x + a).transpose(0, 1) @ c(ones((4, 1))) + x),
}


@pytest.mark.parametrize("dtype", list(DTYPES))
@pytest.mark.parametrize("name", list(CASES))
def test_graphs_that_used_to_fail(name, dtype):
    leaves, build = CASES[name]
    ours, theirs = differentiate_both(build, leaves, dtype)
    for leaf, got, want in zip(leaves, ours, theirs):
        np.testing.assert_allclose(reduce_to(got, np.shape(leaf)), want, rtol=8 * EPS[dtype], atol=8 * EPS[dtype])


def test_the_replicated_contribution_case_sums_to_the_true_gradient():
    # x (1, 1) reaches the root directly and through x + a, shape (4, 1): the
    # two contributions meet in x's own shape, 1 + 4, not broadcast to (4, 1).
    (gx, ga), _ = differentiate_both(CASES["no replicated contribution"][1], CASES["no replicated contribution"][0])
    np.testing.assert_array_equal(gx, [[5.0]])
    np.testing.assert_array_equal(ga, ones((4, 1)))


def test_a_leaf_broadcast_once_keeps_the_batch_shaped_gradient():
    # What is sound stays as it was: nothing is reduced that need not be.
    b = Tensor(np.array([1.0, 2.0, 3.0], np.float32), requires_grad=True)
    s = b + Tensor(np.ones((4, 3), np.float32))
    (s * 2.0).backward()
    np.testing.assert_array_equal(b.grad(), np.full((4, 3), 2.0, np.float32))
    # A reshape needs its own shape: the lengthened axis is summed, once.
    x = Tensor(np.ones((2, 1), np.float32), requires_grad=True)
    y = x.reshape([1, 2])
    (y * Tensor(np.ones((3, 2), np.float32))).backward()
    np.testing.assert_array_equal(y.grad(), np.ones((3, 2), np.float32))
    np.testing.assert_array_equal(x.grad(), np.full((2, 1), 3.0, np.float32))


@pytest.mark.parametrize(
    "dtype, a, b",
    [("float16", 100.0, 300.0), ("float32", 1e30, 1e20), ("bfloat16", 1e30, 1e20), ("float32", 1e-30, 1e-20),
     ("bfloat16", 1e-30, 1e-20)],
)
def test_divisor_gradient_survives_intermediates_out_of_range(dtype, a, b):
    # -a / b^2 is representable although b * b (or its reciprocal) is not.
    (ga, gb), (ta, tb) = differentiate_both(lambda c, relu, x, y: x / y, [[a], [b]], dtype)
    a64, b64 = (cast([v], dtype).astype(np.float64) for v in (a, b))
    want = -a64 / (b64 * b64)
    assert gb[0] != 0 and np.isfinite(gb[0].astype(np.float64))
    np.testing.assert_allclose(gb.astype(np.float64), want, rtol=EPS[dtype])
    np.testing.assert_allclose(gb.astype(np.float64), tb, rtol=4 * EPS[dtype])
    np.testing.assert_allclose(ga.astype(np.float64), 1 / b64, rtol=EPS[dtype])


@pytest.mark.parametrize("dtype", list(DTYPES))
def test_w_over_twice_w_has_a_zero_gradient(dtype):
    w_v = [3.0, 0.7, 1e-3, -5.5, 123.0]
    w = Tensor(cast(w_v, dtype), dtype=dtype, requires_grad=True)
    (w / (w + w)).backward()
    np.testing.assert_array_equal(w.grad().astype(np.float32), np.zeros(5, np.float32))


def test_an_empty_gradient_with_a_long_axis_sums_to_zeros():
    # (2^40, 5, 0) holds no element; summing it back to a reshape's or a
    # product's (5, 1) must not allocate for the long axis.
    long = np.empty((2**40, 1, 0), np.float32)
    x = Tensor(np.ones(5, np.float32), requires_grad=True)
    (x.reshape([5, 1]) + Tensor(long)).backward()
    np.testing.assert_array_equal(x.grad(), np.zeros(5, np.float32))
    a = Tensor(np.ones((5, 2), np.float32), requires_grad=True)
    b = Tensor(np.ones((2, 1), np.float32), requires_grad=True)
    ((a @ b) * Tensor(long)).backward()
    np.testing.assert_array_equal(a.grad(), np.zeros((5, 2), np.float32))
    np.testing.assert_array_equal(b.grad(), np.zeros((2, 1), np.float32))
