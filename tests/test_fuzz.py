"""Random programs against the whole Python surface of pelor_core.

A hypothesis state machine builds tensors of every element type, shape (rank 0
to 6, empty axes, empty arrays with axes of length 2**40) and layout, and
drives random sequences of constructions, operators, methods, relu,
backward() and grad() on them, with odd Python objects mixed in as operands
and arguments (NumPy arrays and scalars among them, on either side of every
operator). Every call must either return a well-formed result or raise
TypeError, ValueError, RuntimeError, OverflowError or MemoryError; a crash or
hang fails the run.

The machine keeps a model of the calling thread's tape (node ids, implicit
leaves, nodes left behind by failed operations, clear_graph()) and of the
published gradients, so results are checked against NumPy (ml_dtypes for
bfloat16) value by value, and gradients against a NumPy re-enactment of the
backward rules. Matrix products are compared within a rounding bound, and
gradients that pass through a matrix product or a sum over broadcast axes
only by dtype and shape (test_graph_gradients.py checks their values against
PyTorch).

The "ci" hypothesis profile bounds the run; --hypothesis-profile=long (or
PELOR_HYPOTHESIS_PROFILE=long) explores much further.
"""

import math
import operator
import warnings
from dataclasses import dataclass, field
from decimal import Decimal
from fractions import Fraction

import ml_dtypes
import numpy as np
import pytest
from hypothesis import HealthCheck, note, settings
from hypothesis import strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, initialize, invariant, multiple, rule

import pelor_core
from pelor_core import Tensor

from grad_oracle import round_once

relu = pelor_core.nn.functional.relu

ALLOWED = (TypeError, ValueError, RuntimeError, OverflowError, MemoryError)
DTYPES = ("f32", "f16", "bf16", "bool")
NP = {"f32": np.dtype(np.float32), "f16": np.dtype(np.float16), "bf16": np.dtype(ml_dtypes.bfloat16), "bool": np.dtype(np.bool_)}
DISPLAY = {"f32": "F32", "f16": "F16", "bf16": "BF16", "bool": "Bool"}
NUMPY_NAME = {"f32": "float32", "f16": "float16", "bf16": "bfloat16", "bool": "bool"}
WORD_MAX = 2**63 - 1
HUGE = 2**40
# Matrix products (forward or inside backward) whose result would hold more
# elements than this are not run here, unless the result is so large that no
# allocator grants it (UNALLOCATABLE bytes and up): that must be a MemoryError.
MAX_RESULT = 1 << 22
UNALLOCATABLE = 1 << 43


class Fault(Exception):
    """The model expected an error: carries the class and, if fixed, the text."""

    def __init__(self, kind, message=None):
        super().__init__(message)
        self.kind = kind
        self.message = message


# --- shapes and broadcasting, as the library defines them -------------------


def shape_text(shape):
    return "[" + ", ".join(str(d) for d in shape) + "]"


def count(shape):
    return math.prod(shape)


def nonzero_product(shape):
    return math.prod(d for d in shape if d)


def broadcast(sa, sb):
    n = max(len(sa), len(sb))
    out = []
    for k in range(n):
        a = sa[len(sa) - 1 - k] if k < len(sa) else 1
        b = sb[len(sb) - 1 - k] if k < len(sb) else 1
        if a == b or b == 1:
            out.append(a)
        elif a == 1:
            out.append(b)
        else:
            raise Fault(RuntimeError, f"Shape mismatch: cannot broadcast {shape_text(sa)} and {shape_text(sb)}")
    return tuple(reversed(out))


def broadcast_views(sa, sb):
    common = broadcast(sa, sb)
    if nonzero_product(common) > WORD_MAX:
        raise Fault(RuntimeError, f"Broadcast failed for A: {shape_text(sa)} -> {shape_text(common)}")
    return common


def is_standard(shape, strides):
    if count(shape) <= 1:
        return True
    expect = 1
    for d, s in zip(reversed(shape), reversed(strides)):
        if d == 1:
            continue
        if s != expect:
            return False
        expect *= d
    return True


def is_permuted_dense(shape, strides):
    """Strides of a dense array in some axis order (all 0 when empty)."""
    if count(shape) == 0:
        return all(s == 0 for s in strides)
    axes = sorted((s, d) for d, s in zip(shape, strides) if d > 1)
    expect = 1
    for s, d in axes:
        if s != expect:
            return False
        expect *= d
    return all(s >= 0 for s in strides)


# --- element arithmetic, as NumPy and ml_dtypes compute it -------------------


def quiet():
    ctx = warnings.catch_warnings()
    ctx.__enter__()
    warnings.simplefilter("ignore")
    return ctx


def as_double(obj):
    """The interpreter's float conversion used for scalar operands, or None."""
    if isinstance(obj, (str, bytes, bytearray, memoryview)):
        return None
    try:
        return float(obj)
    except Exception:
        return None


def float_error(obj):
    """The exception class the float conversion of `obj` raises, or None."""
    if isinstance(obj, (str, bytes, bytearray, memoryview)):
        return TypeError
    try:
        float(obj)
    except Exception as exc:
        return type(exc)
    return None


def to_elem(x, dtype):
    """A Python float narrowed to binary32, then to the element type."""
    with np.errstate(all="ignore"):
        return NP[dtype].type(np.float32(x))


def arith(op, a, b):
    with np.errstate(all="ignore"):
        if op == "+":
            r = a + b
        elif op == "-":
            r = a - b
        elif op == "*":
            r = a * b
        else:
            r = a / b
    return np.asarray(r, dtype=np.result_type(a, b))


COMPARE = {"==": operator.eq, "<": operator.lt, "<=": operator.le, ">": operator.gt, ">=": operator.ge}
MIRROR = {"==": "==", "<": ">", "<=": ">=", ">": "<", ">=": "<="}
LOGICAL = {"&": np.logical_and, "|": np.logical_or, "^": np.logical_xor}
SCALAR_WORD = {"+": "add", "*": "product", "-": "sub", "/": "product"}


def compare(op, a, b):
    with np.errstate(all="ignore"):
        return np.asarray(COMPARE[op](a, b), dtype=np.bool_)


def binary_value(op, a, b, da, db):
    """Forward value of a tensor-tensor operator, or Fault."""
    if op in LOGICAL:
        if da != "bool" or db != "bool":
            raise Fault(RuntimeError, "Logical operations are only supported for Bool data types.")
        broadcast_views(a.shape, b.shape)
        return LOGICAL[op](a, b)
    if op in COMPARE:
        if da != db:
            raise Fault(RuntimeError, f"Tensor device or dtype mismatch for element-wise {op} operation.")
        broadcast_views(a.shape, b.shape)
        return compare(op, a, b)
    if op == "@":
        return matmul_value(a, b, da, db)
    if da == "bool" and db == "bool":
        raise Fault(TypeError, "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first.")
    if da != db:
        raise Fault(
            ValueError,
            f"Tensor DType mismatch during binary execution. Cannot operate between {DISPLAY[da]} and {DISPLAY[db]}.",
        )
    broadcast_views(a.shape, b.shape)
    return arith(op, a, b)


def matmul_shapes(sa, sb):
    """Result shape of a product, or Fault, in the library's order of checks."""
    if len(sa) < 2 or len(sb) < 2:
        raise Fault(RuntimeError, f"Matmul requires at least 2D tensors. A: {len(sa)}D, B: {len(sb)}D")
    m, k = sa[-2:]
    k2, n = sb[-2:]
    if k != k2:
        raise Fault(RuntimeError, f"Matrix inner dimensions mismatch for matmul: {k} vs {k2}")
    batch = broadcast(sa[:-2], sb[:-2])
    ta, tb = batch + (m, k), batch + (k, n)
    if nonzero_product(ta) > WORD_MAX:
        raise Fault(RuntimeError, f"Broadcast failed for A to {shape_text(ta)}")
    if nonzero_product(tb) > WORD_MAX:
        raise Fault(RuntimeError, f"Broadcast failed for B to {shape_text(tb)}")
    out = batch + (m, n)
    if nonzero_product(out) > WORD_MAX:
        raise Fault(RuntimeError)  # wording is the library's
    if count(out) * 4 >= UNALLOCATABLE:  # the binary32 product is what is allocated
        raise Fault(MemoryError)
    return out


class TooBig(Exception):
    """A product whose result fits a machine word but not this test's budget."""


class Unknown(Exception):
    """The model cannot follow: NumPy cannot hold a value the rules need."""


def matmul_value(a, b, da, db):
    if da == "bool" and db == "bool":
        raise Fault(TypeError, "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first.")
    if da != db:
        raise Fault(
            ValueError,
            f"Tensor DType mismatch during binary execution. Cannot operate between {DISPLAY[da]} and {DISPLAY[db]}.",
        )
    out = matmul_shapes(a.shape, b.shape)
    if count(out) > MAX_RESULT:
        raise TooBig(out)
    if count(out) == 0:
        return np.zeros(out, dtype=NP[da])
    with np.errstate(all="ignore"):
        r = np.matmul(a.astype(np.float64), b.astype(np.float64))
        return r.astype(np.float32).astype(NP[da])


def matmul_bound(a, b, dtype):
    """Per-element error bound of a binary32 product rounded to `dtype`."""
    k = a.shape[-1] if a.ndim else 0
    with np.errstate(all="ignore"):
        mag = np.matmul(np.abs(a.astype(np.float64)), np.abs(b.astype(np.float64)))
    eps = {"f32": 2.0**-23, "f16": 2.0**-10, "bf16": 2.0**-7}[dtype]
    tiny = {"f32": 1e-44, "f16": 1e-7, "bf16": 1e-38}[dtype]
    return mag * ((k + 2) * 2.0**-23 + eps) + tiny


# --- comparing results ----------------------------------------------------


def assert_same(got, want, what):
    assert got.dtype == want.dtype, f"{what}: dtype {got.dtype} != {want.dtype}"
    assert got.shape == want.shape, f"{what}: shape {got.shape} != {want.shape}"
    if got.size == 0:
        return
    if want.dtype == np.bool_:
        assert np.array_equal(got, want), f"{what}: {got} != {want}"
        return
    g = got.astype(np.float32)
    w = want.astype(np.float32)
    assert np.array_equal(np.isnan(g), np.isnan(w)), f"{what}: NaN positions differ\n{g}\n{w}"
    keep = ~np.isnan(w)
    assert np.array_equal(g[keep], w[keep]), f"{what}: values differ\n{g}\n{w}"
    assert np.array_equal(np.signbit(g[keep]), np.signbit(w[keep])), f"{what}: zero signs differ\n{g}\n{w}"


def assert_close_product(got, want, a, b, dtype, what):
    assert got.dtype == want.dtype and got.shape == want.shape, what
    if got.size == 0:
        return
    bound = matmul_bound(a, b, dtype)
    limit = float(np.finfo(np.float32).max if dtype == "f32" else ml_dtypes.finfo(NP[dtype]).max) / 4
    g = got.astype(np.float64)
    w = want.astype(np.float64)
    check = np.isfinite(bound) & (bound < limit) & np.isfinite(w)
    assert np.all(np.isfinite(g[check])), f"{what}: non-finite where the product is bounded\n{g}\n{w}"
    assert np.all(np.abs(g - w)[check] <= bound[check]), f"{what}: outside the rounding bound\n{g}\n{w}"


def check_tensor(t, dtype=None, shape=None, requires_grad=None):
    """The tensor is well formed; returns its data as exported."""
    assert type(t) is Tensor
    assert t.dtype in DTYPES
    if dtype is not None:
        assert t.dtype == dtype
    sh, stv = t.shape, t.strides
    assert type(sh) is list and type(stv) is list
    assert all(type(d) is int and d >= 0 for d in sh)
    assert all(type(s) is int for s in stv)
    assert t.ndim == len(sh) == len(stv)
    assert t.device == "cpu"
    assert is_permuted_dense(sh, stv), (sh, stv)
    if shape is not None:
        assert tuple(sh) == tuple(shape), (sh, shape)
    if requires_grad is not None:
        assert t.requires_grad is requires_grad
    try:
        data = t.to_numpy()
    except ValueError:
        # More than 32 axes, or axis lengths NumPy cannot represent.
        assert len(sh) > 32 or nonzero_product(sh) * NP[t.dtype].itemsize > WORD_MAX or any(d > WORD_MAX for d in sh)
        return None
    assert type(data) is np.ndarray
    assert data.dtype == NP[t.dtype]
    assert data.shape == tuple(sh)
    return data


# --- the model of the tape -----------------------------------------------


@dataclass(eq=False)
class Entry:
    t: Tensor
    value: np.ndarray | None  # None when NumPy cannot hold it (huge empty axes)
    shape: tuple
    dtype: str
    requires_grad: bool
    node: int | None
    epoch: int


@dataclass
class Node:
    kind: str
    inputs: tuple = ()
    saved: tuple = ()  # operand values, input shape, dims or scalar
    shape: tuple | None = None  # the node's output shape, once it exists


@dataclass
class Grad:
    value: np.ndarray
    exact: bool = True


@dataclass
class Model:
    epoch: int = 0
    nodes: list = field(default_factory=list)
    published: dict = field(default_factory=dict)
    # Set when a backward pass ran that the model could not follow: until the
    # next clear_graph() gradients are checked for form only.
    blind: bool = False

    def push(self, node):
        self.nodes.append(node)
        return len(self.nodes) - 1

    def operand(self, e):
        if e.node is not None and e.epoch == self.epoch:
            return e.node
        return self.push(Node("leaf", shape=e.shape))

    def clear(self):
        self.epoch += 1
        self.nodes.clear()
        self.published.clear()
        self.blind = False


def scale(g, x):
    if g.value.dtype == np.bool_:
        raise Fault(ValueError, "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar.")
    with np.errstate(all="ignore"):
        return Grad(np.asarray(g.value * to_elem(x, dtype_name(g.value)), dtype=g.value.dtype), g.exact)


def dtype_name(a):
    return next(k for k, v in NP.items() if v == a.dtype)


def grad_binary(op, g, a, b):
    """Contribution of a Mul or Div node: (to lhs, to rhs)."""
    if g.value.dtype == np.bool_ or g.value.dtype != a.dtype or g.value.dtype != b.dtype:
        raise Fault(TypeError, "DType mismatch between gradient and operands during backward pass.")
    gv = g.value
    if op == "*":
        broadcast_views(gv.shape, b.shape)
        broadcast_views(gv.shape, a.shape)
        return Grad(arith("*", gv, b), g.exact), Grad(arith("*", gv, a), g.exact)
    s1 = broadcast_views(gv.shape, a.shape)
    s = broadcast(s1, b.shape)
    if nonzero_product(s) > WORD_MAX:
        raise Fault(RuntimeError)
    gg, aa, bb = (np.broadcast_to(v, s).astype(np.float64) for v in (gv, a, b))
    # Exact in float64 up to the final quotient, then rounded once.
    with np.errstate(all="ignore"):
        ga, gb = gg / bb, -(gg * aa) / (bb * bb)
    d = dtype_name(a)
    return Grad(round_once(ga, NUMPY_NAME[d]), g.exact), Grad(round_once(gb, NUMPY_NAME[d]), g.exact)


def sum_down(g, shape):
    """The gradient summed over the axes that broadcasting `shape` to it adds
    or stretches. The library's summation order is its own: form only."""
    v = g.value
    if v.dtype == np.bool_:
        raise Fault(TypeError, "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first.")
    lead = v.ndim - len(shape)
    assert lead >= 0 and np.broadcast_shapes(tuple(shape), v.shape) == v.shape, (shape, v.shape)
    with np.errstate(all="ignore"):
        s = v.astype(np.float64).sum(axis=tuple(range(lead)))
        s = s.sum(axis=tuple(i for i, n in enumerate(shape) if n == 1 and s.shape[i] != 1), keepdims=True)
        return Grad(s.astype(v.dtype), False)


def grad_matmul(g, a, b, out_shape):
    if g.value.dtype == np.bool_ or g.value.dtype != a.dtype or g.value.dtype != b.dtype:
        raise Fault(TypeError, "DType mismatch between gradient and operands during backward pass.")
    d = dtype_name(a)
    if g.value.shape[-2:] != tuple(out_shape[-2:]):
        g = sum_down(g, g.value.shape[:-2] + tuple(out_shape[-2:]))
    ga = matmul_value(g.value, np.swapaxes(b, -1, -2), d, d)
    gb = matmul_value(np.swapaxes(a, -1, -2), g.value, d, d)
    return Grad(ga, False), Grad(gb, False)


def accumulate(ctx, i, g, model):
    if i not in ctx:
        ctx[i] = g
        return
    old = ctx[i]
    if old.value.dtype == np.bool_:
        raise Fault(TypeError, "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first.")
    if old.value.shape != g.value.shape:
        own = model.nodes[i].shape
        if own is None:
            raise Unknown("shape")
        old = old if old.value.shape == own else sum_down(old, own)
        g = g if g.value.shape == own else sum_down(g, own)
    ctx[i] = Grad(arith("+", old.value, g.value), old.exact and g.exact)


def run_rule(node, g, ctx, model):
    k = node.kind
    if k == "leaf":
        return
    if k == "opaque" or any(v is None for v in node.saved):
        raise Unknown(k)
    if k in ("add", "sub"):
        accumulate(ctx, node.inputs[0], scale(g, 1.0), model)
        accumulate(ctx, node.inputs[1], scale(g, 1.0 if k == "add" else -1.0), model)
    elif k in ("mul", "div"):
        ga, gb = grad_binary("*" if k == "mul" else "/", g, *node.saved)
        accumulate(ctx, node.inputs[0], ga, model)
        accumulate(ctx, node.inputs[1], gb, model)
    elif k == "matmul":
        ga, gb = grad_matmul(g, *node.saved, node.shape)
        accumulate(ctx, node.inputs[0], ga, model)
        accumulate(ctx, node.inputs[1], gb, model)
    elif k == "relu":
        (x,) = node.saved
        if g.value.dtype == np.bool_ or g.value.dtype != x.dtype:
            raise Fault(TypeError, "DType mismatch between gradient and input during unary backward pass.")
        with np.errstate(all="ignore"):
            out = np.where(np.broadcast_to(x, g.value.shape) > 0, g.value, np.zeros((), dtype=x.dtype)).astype(x.dtype)
        accumulate(ctx, node.inputs[0], Grad(out, g.exact), model)
    elif k == "reshape":
        (shape,) = node.saved
        lead = g.value.shape[: g.value.ndim - len(node.shape)]
        if g.value.shape[len(lead):] != tuple(node.shape):
            g = sum_down(g, lead + tuple(node.shape))
        accumulate(ctx, node.inputs[0], Grad(g.value.reshape(lead + tuple(shape)), g.exact), model)
    elif k == "transpose":
        d0, d1 = node.saved
        lead = g.value.ndim - len(node.shape)
        accumulate(ctx, node.inputs[0], Grad(np.swapaxes(g.value, lead + d0, lead + d1).copy(), g.exact), model)
    elif k in ("s+", "s-"):
        accumulate(ctx, node.inputs[0], scale(g, 1.0), model)
    elif k == "s*":
        accumulate(ctx, node.inputs[0], scale(g, node.saved[0]), model)
    elif k == "s/":
        with np.errstate(all="ignore"):
            r = np.float32(1.0) / np.float32(node.saved[0])
        accumulate(ctx, node.inputs[0], scale(g, float(r)), model)
    else:
        raise AssertionError(k)


def reference_backward(model, root, seed):
    ctx = {root: Grad(seed)}
    for i in range(root, -1, -1):
        g = ctx.pop(i, None)
        if g is None:
            continue
        run_rule(model.nodes[i], g, ctx, model)
        ctx[i] = g
    return ctx


# --- odd objects ------------------------------------------------------------


class FloatLike:
    def __float__(self):
        return 2.5


class BadFloat:
    def __float__(self):
        raise ValueError("no float here")


class IndexLike:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class BadIndex:
    def __index__(self):
        raise RuntimeError("index refused")


SCALARS = [
    0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 3.0, 1e-3, 65504.0, 7e4, 1e38, 3.5e38, 1e40, -1e300,
    math.inf, -math.inf, math.nan, 5e-324, 1e-40, 6e-8, 1, -3, 0, True, False, 2**70,
    np.float64(1.5), np.float32(-2.0), np.float16(0.25), np.int8(-7), np.uint64(2**64 - 1), np.bool_(True),
    np.array(4.0), np.array(-1.5, np.float16), np.array(True), ml_dtypes.bfloat16(1.5),
    Decimal("1.25"), Fraction(1, 3), FloatLike(),
]
ODD = [
    None, "a", "1.5", b"1", [1.0], (2.0,), {}, object(), 1 + 2j, 10**400, BadFloat(), BadIndex(), IndexLike(3),
    np.array([1.0, 2.0]), np.array([1.0]), np.ones((2, 3), np.float32), np.zeros((3, 1), np.float16),
    np.array([[True, False]]), np.array([1, 2], ml_dtypes.bfloat16), np.empty((0, 3)),
    Ellipsis, slice(1), float, Tensor,
]

SPECIAL_FLOATS = [0.0, -0.0, 1.0, -1.0, 0.5, -2.5, 3.0, 1e-3, 65504.0, 7e4, 3e38, math.inf, -math.inf, math.nan, 1e-40, 6e-8]
elements = st.one_of(
    st.sampled_from(SPECIAL_FLOATS),
    st.floats(-8, 8, width=32),
    st.floats(width=32),
)


@st.composite
def shapes(draw):
    branch = draw(st.integers(0, 9))
    if branch == 1:
        # A long axis, so vector loops run their bodies and their tails.
        dims = draw(st.lists(st.integers(1, 3), min_size=0, max_size=2))
        dims.insert(draw(st.integers(0, len(dims))), draw(st.integers(15, 70)))
        return tuple(dims)
    if branch == 0:
        # An empty array whose other axes may be enormous.
        dims = draw(st.lists(st.sampled_from([0, 1, 2, 3, 2**20, HUGE]), min_size=1, max_size=6))
        dims[draw(st.integers(0, len(dims) - 1))] = 0
        if nonzero_product(dims) * 8 > WORD_MAX:
            dims = [d if d < 2**20 else 1 for d in dims]
        return tuple(dims)
    dims = draw(st.lists(st.integers(0, 3), max_size=6).filter(lambda d: count(d) <= 48))
    return tuple(dims)


@st.composite
def source_arrays(draw):
    """(dtype, data to pass, the array NumPy turns it into)."""
    dtype = draw(st.sampled_from(DTYPES))
    shape = draw(shapes())
    if count(shape) == 0:
        base = np.empty(shape, dtype=np.float32)
    elif dtype == "bool":
        base = np.array(draw(st.lists(st.booleans(), min_size=count(shape), max_size=count(shape))), dtype=np.bool_)
        base = base.reshape(shape)
    else:
        vals = draw(st.lists(elements, min_size=count(shape), max_size=count(shape)))
        base = np.array(vals, dtype=np.float32).reshape(shape)
    form = draw(st.sampled_from(["array", "float64", "list", "fortran", "reversed", "strided", "typed", "scalar"]))
    data = base
    if form == "float64":
        data = base.astype(np.float64)
    elif form == "list" and nonzero_product(shape) <= 700:
        data = base.tolist()
    elif form == "fortran":
        data = np.asfortranarray(base)
    elif form == "reversed" and base.ndim:
        data = base[::-1]
    elif form == "strided" and base.ndim and count(shape):
        wide = np.repeat(base, 2, axis=-1)
        data = wide[..., ::2]
    elif form == "typed":
        with np.errstate(all="ignore"):
            data = base.astype(NP[dtype])
    elif form == "scalar" and base.ndim == 0:
        data = base.item()
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        want = np.array(data, dtype=NUMPY_NAME[dtype])
    return dtype, data, want


DTYPE_ARGS = {
    None: "f32", "float32": "f32", "f32": "f32", "float16": "f16", "f16": "f16", "bfloat16": "bf16", "bf16": "bf16",
    "bool": "bool", np.float32: "f32", np.float16: "f16", ml_dtypes.bfloat16: "bf16", bool: "bool",
    np.dtype("float16"): "f16", np.dtype("float32"): "f32", np.dtype(np.bool_): "bool",
}


def shape_args():
    return st.one_of(
        st.lists(st.integers(0, 4), max_size=6),
        st.lists(st.sampled_from([0, 1, 2, 3, 6, 2**20, HUGE, 2**63, 2**64 - 1, 3, 0xAAAAAAAAAAAAAAAB]), max_size=5),
        st.tuples(st.integers(0, 6), st.integers(0, 6)),
        st.just([1] * 40),
        st.just([1] * 70),
        st.sampled_from(["23", b"\x02\x03", {2, 3}, 6, None, [2.0, 3], [-1, 6], [2**64], [np.int64(2), IndexLike(3)],
                         [BadIndex()], np.array([3, 2]), range(1, 3), [True, 6]]),
    )


DIM_ARGS = st.one_of(st.integers(0, 6), st.sampled_from([-1, 2**63, 2**64 - 1, 2**64, 1.0, None, "0", np.int32(1),
                                                          True, IndexLike(1), BadIndex()]))


def convert_size(obj):
    """The library's conversion of one axis length or axis index."""
    i = operator.index(obj)  # TypeError, or the object's own exception
    if i < 0 or i >= 2**64:
        raise OverflowError
    return i


def convert_shape(obj):
    if isinstance(obj, str) or isinstance(obj, (set, dict, int, type(None))):
        raise TypeError
    return tuple(convert_size(x) for x in list(obj))


def expect_outcome(call, predicted):
    """Run `call`; `predicted` is a value or a Fault (or exception class).

    Returns the result, or None when the call raised as predicted.
    """
    if isinstance(predicted, Fault):
        with pytest.raises(predicted.kind) as info:
            call()
        if predicted.message is not None:
            assert str(info.value) == predicted.message
        return None
    return call()


# --- the machine ----------------------------------------------------------


class TensorProgram(RuleBasedStateMachine):
    tensors = Bundle("tensors")

    def __init__(self):
        super().__init__()
        Tensor.clear_graph()
        self.model = Model()
        self.entries = []
        self._warnings = quiet()

    def teardown(self):
        self._warnings.__exit__(None, None, None)
        Tensor.clear_graph()

    # Entries -------------------------------------------------------------

    def add_entry(self, t, value, dtype, shape, requires_grad, node):
        data = check_tensor(t, dtype=dtype, shape=shape, requires_grad=requires_grad)
        if node is not None:
            self.model.nodes[node].shape = tuple(shape)
        if value is not None and data is not None:
            assert_same(data, value, "result")
        e = Entry(t, data if data is not None else value, tuple(shape), dtype, requires_grad, node, self.model.epoch)
        self.entries.append(e)
        return e

    def record(self, kind, inputs, saved=()):
        ids = tuple(self.model.operand(e) for e in inputs)
        return self.model.push(Node(kind, ids, saved))

    # Construction --------------------------------------------------------

    @initialize(target=tensors)
    def seed(self):
        t = Tensor([[1.0, -2.0, 3.0], [0.5, 0.0, -0.0]], requires_grad=True)
        node = self.model.push(Node("leaf"))
        return self.add_entry(t, np.array([[1.0, -2.0, 3.0], [0.5, 0.0, -0.0]], np.float32), "f32", (2, 3), True, node)

    @rule(target=tensors, src=source_arrays(), requires_grad=st.booleans(), spelling=st.integers(0, 3))
    def construct(self, src, requires_grad, spelling):
        dtype, data, want = src
        names = [k for k, v in DTYPE_ARGS.items() if v == dtype]
        arg = names[spelling % len(names)]
        kwargs = {"dtype": arg} if arg is not None else {}
        t = Tensor(data, requires_grad=requires_grad, device="CPU" if spelling == 3 else "cpu", **kwargs)
        node = self.model.push(Node("leaf")) if requires_grad else None
        return self.add_entry(t, want, dtype, want.shape, requires_grad, node)

    @rule(
        data=st.sampled_from([[1.0, 2.0], [[1.0], [2.0, 3.0]], "abc", None, object(), {1: 2}, 1 + 2j, 10**400,
                              [[True, False]], np.arange(6).reshape(2, 3), []]),
        dtype=st.sampled_from([None, "f32", "Float32", "int32", float, int, 3, "float64", np.int8, "bool", ""]),
        device=st.sampled_from(["cpu", "cuda", "Cpu", 0, None, "cpu:0", " cpu"]),
        requires_grad=st.sampled_from([False, True, 1, None, np.bool_(True), "yes"]),
    )
    def construct_odd(self, data, dtype, device, requires_grad):
        try:
            t = Tensor(data, dtype=dtype, device=device, requires_grad=requires_grad)
        except ALLOWED:
            return
        assert type(requires_grad) in (bool, np.bool_)
        assert isinstance(device, str) and device.lower() == "cpu"
        rg = bool(requires_grad)
        node = self.model.push(Node("leaf")) if rg else None
        self.add_entry(t, None, t.dtype, tuple(t.shape), rg, node)

    # Operators -----------------------------------------------------------

    @rule(target=tensors, a=tensors, b=tensors,
          op=st.sampled_from(["+", "-", "*", "/", "@", "&", "|", "^", "==", "<", "<=", ">", ">=", "!="]))
    def binary(self, a, b, op):
        return self.apply_binary(a, b, op)

    def apply_binary(self, a, b, op):
        fn = {
            "+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv, "@": operator.matmul,
            "&": operator.and_, "|": operator.or_, "^": operator.xor, "!=": operator.ne, **COMPARE,
        }[op]
        if op == "!=":
            # Negated truth of the full equality: False, or the equality's error.
            try:
                if a.value is not None and b.value is not None:
                    binary_value("==", a.value, b.value, a.dtype, b.dtype)
            except Fault as f:
                expect_outcome(lambda: a.t != b.t, f)
                return multiple()
            try:
                assert (a.t != b.t) is False
            except ALLOWED:
                assert a.value is None or b.value is None
            return multiple()
        if a.value is None or b.value is None:
            self.blind(lambda: fn(a.t, b.t), op in "+-*/@", (a, b))
            return multiple()
        try:
            predicted = binary_value(op, a.value, b.value, a.dtype, b.dtype)
        except TooBig as big:
            note(f"skipped {op}: result {big}")
            return multiple()
        except Fault as f:
            predicted = f
        differentiable = op in "+-*/@" and (a.requires_grad or b.requires_grad)
        node = None
        if differentiable:
            kind = {"+": "add", "-": "sub", "*": "mul", "/": "div", "@": "matmul"}[op]
            saved = (a.value, b.value) if kind in ("mul", "div", "matmul") else ()
            node = self.record(kind, (a, b), saved)
        out = expect_outcome(lambda: fn(a.t, b.t), predicted)
        if out is None:
            return multiple()
        dtype = "bool" if op in COMPARE or op in LOGICAL else a.dtype
        if op == "@":
            e = self.add_entry(out, None, dtype, predicted.shape, differentiable, node)
            if e.value is not None:
                assert_close_product(e.value, predicted, a.value, b.value, dtype, "matmul")
                assert is_standard(out.shape, out.strides)
            return e
        return self.add_entry(out, predicted, dtype, predicted.shape, differentiable, node)

    @rule(target=tensors, a=tensors, data=st.data(), requires_grad=st.booleans(), swap=st.booleans(),
          op=st.sampled_from(["+", "-", "*", "/", "@", "<", "==", "&"]))
    def combine(self, a, data, requires_grad, swap, op):
        """`a` with a fresh operand of its dtype whose shape fits: most such
        operations succeed, so graphs grow deep enough to differentiate."""
        shape = list(a.shape)
        if op == "@":
            if len(shape) < 2:
                shape = [2] + shape if shape else [2, 2]
                b_shape = shape
            else:
                n = data.draw(st.sampled_from([0, 1, 2, 3, 5, 17, 33]))
                b_shape = shape[:-2] + [shape[-1], n] if not swap else shape[:-2] + [n, shape[-2]]
                b_shape = b_shape[data.draw(st.integers(0, max(0, len(b_shape) - 2))):]
        else:
            cut = data.draw(st.integers(0, len(shape)))
            b_shape = [d if data.draw(st.booleans()) else 1 for d in shape[cut:]]
        if count(b_shape) > 700 or nonzero_product(b_shape) > 700:
            b_shape = [min(d, 1) for d in b_shape]
        b_shape = b_shape[-32:]
        dtype = a.dtype
        n = count(b_shape)
        if dtype == "bool":
            vals = np.array(data.draw(st.lists(st.booleans(), min_size=n, max_size=n)), dtype=np.bool_)
        else:
            vals = np.array(data.draw(st.lists(elements, min_size=n, max_size=n)), dtype=np.float32)
        with np.errstate(all="ignore"):
            want = vals.reshape(b_shape).astype(NP[dtype])
        t = Tensor(want, dtype=dtype, requires_grad=requires_grad)
        node = self.model.push(Node("leaf")) if requires_grad else None
        b = self.add_entry(t, want, dtype, tuple(b_shape), requires_grad, node)
        left, right = (b, a) if swap else (a, b)
        out = self.apply_binary(left, right, op)
        if isinstance(out, Entry):
            return multiple(b, out)
        return multiple(b)

    def blind(self, call, differentiable, operands, desync=False):
        """Only the outcome's form is checked: an operand NumPy cannot hold,
        or a NumPy object that takes the operator over (desync: it may call
        the tensor's slots any number of times, so the tape model is lost)."""
        if desync:
            self.model.blind = True
        elif differentiable and any(e.requires_grad for e in operands):
            self.record("opaque", operands)
        try:
            out = call()
        except ALLOWED:
            return
        if isinstance(out, Tensor):
            check_tensor(out)

    @rule(target=tensors, a=tensors, x=st.sampled_from(SCALARS + ODD),
          op=st.sampled_from(["+", "-", "*", "/", "==", "<", "<=", ">", ">=", "!=", "@", "&"]), reflected=st.booleans())
    def scalar(self, a, x, op, reflected):
        fn = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv, "!=": operator.ne,
              "@": operator.matmul, "&": operator.and_, **COMPARE}[op]
        call = (lambda: fn(x, a.t)) if reflected else (lambda: fn(a.t, x))
        d = as_double(x)
        declined = d is None or op in ("@", "&") or (reflected and op in ("-", "/"))
        if op == "!=":
            if d is None:
                assert call() is True
                return multiple()
            if a.dtype == "bool":
                with pytest.raises(RuntimeError):
                    call()
            else:
                assert call() is False
            return multiple()
        if declined:
            if op == "==":
                assert call() is False
            else:
                with pytest.raises(TypeError):
                    call()
            return multiple()
        cmp = MIRROR[op] if reflected and op in COMPARE else op
        if a.dtype == "bool":
            if cmp in COMPARE:
                predicted = Fault(RuntimeError, f"Tensor device or dtype mismatch for scalar {cmp} operation.")
            else:
                predicted = Fault(ValueError, f"Tensor DType invalid during scalar {SCALAR_WORD[op]}. "
                                              "Cannot operate between Bool and scalar.")
        elif a.value is None:
            predicted = None
        elif cmp in COMPARE:
            predicted = compare(cmp, a.value, to_elem(d, a.dtype))
        elif op == "/":
            with np.errstate(all="ignore"):
                r = np.float32(1.0) / np.float32(d)
            predicted = arith("*", a.value, to_elem(float(r), a.dtype))
        else:
            predicted = arith(op, a.value, to_elem(d, a.dtype))
        node = None
        differentiable = op in "+-*/" and a.requires_grad
        if differentiable:
            with np.errstate(all="ignore"):
                node = self.record("s" + op, (a,), (np.float32(d).item(),))
        if predicted is None:
            out = call()
            check_tensor(out)
            return multiple()
        out = expect_outcome(call, predicted)
        if out is None:
            return multiple()
        e = self.add_entry(out, predicted, "bool" if cmp in COMPARE else a.dtype, a.shape, differentiable, node)
        assert out.strides == a.t.strides  # mapped element by element: the input's layout
        return e

    @rule(a=tensors, b=tensors, depth=st.sampled_from([1000, 3000]), transposed_self=st.booleans(),
          op=st.sampled_from(["+", "-", "*", "/", "@", "&", "|", "^", "==", "<", ">="]))
    def deep_binary(self, a, b, depth, op, transposed_self):
        """The operation on copies of the operands with `depth` more leading
        axes of length 1: the same values, or the same kind of failure."""
        if a.value is None or b.value is None:
            return
        b_value, b_dtype = b.value, b.dtype
        if op == "@":
            if len(a.shape) < 2 or len(b.shape) < 2:
                return
            if transposed_self:  # a product whose inner axes agree
                b_value, b_dtype = np.swapaxes(a.value, -1, -2), a.dtype
        try:
            predicted = binary_value(op, a.value, b_value, a.dtype, b_dtype)
        except TooBig:
            return
        except Fault as f:
            predicted = Fault(f.kind)  # messages print the deeper shapes
        fn = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv, "@": operator.matmul,
              "&": operator.and_, "|": operator.or_, "^": operator.xor, **COMPARE}[op]
        x = Tensor(a.value, dtype=a.dtype).reshape([1] * depth + list(a.shape))
        y = Tensor(np.ascontiguousarray(b_value), dtype=b_dtype).reshape([1] * depth + list(b_value.shape))
        out = expect_outcome(lambda: fn(x, y), predicted)
        if out is None:
            return
        assert out.shape == [1] * depth + list(predicted.shape)
        if predicted.ndim > 32:
            return  # beyond the export limit
        got = out.reshape(list(predicted.shape)).to_numpy()
        if op == "@":
            assert_close_product(got, predicted, a.value, b_value, a.dtype, "deep matmul")
        else:
            assert_same(got, predicted, f"deep {op}")

    @rule(target=tensors, a=tensors, b=tensors,
          op=st.sampled_from(["+", "-", "*", "/", "==", "<", "<=", ">", ">=", "!=", "@", "&", "|", "^"]),
          reflected=st.booleans())
    def numpy_operand(self, a, b, op, reflected):
        """Another tensor's data as a NumPy array: NumPy defers to the tensor,
        which takes a 0-d array as a number and declines any other array."""
        if b.value is None or b.value.ndim == 0:
            return multiple()  # numbers are the scalar rule's
        fn = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv, "!=": operator.ne,
              "@": operator.matmul, "&": operator.and_, "|": operator.or_, "^": operator.xor, **COMPARE}[op]
        x = b.value.copy()
        call = (lambda: fn(x, a.t)) if reflected else (lambda: fn(a.t, x))
        if op == "==":
            assert call() is False
        elif op == "!=":
            assert call() is True
        else:
            with pytest.raises(TypeError):
                call()
        assert_same(x, b.value, "the array operand")  # never written to
        return multiple()

    @rule(target=tensors, a=tensors, x=st.sampled_from(SCALARS + ODD), method=st.sampled_from(["__req__", "__rgt__", "__rlt__"]))
    def reflected_method(self, a, x, method):
        d = as_double(x)
        call = lambda: getattr(a.t, method)(x)  # noqa: E731
        if d is None:
            # An argument error: the conversion's own exception.
            with pytest.raises(float_error(x), match="other"):
                call()
            return multiple()
        op = {"__req__": "==", "__rgt__": "<", "__rlt__": ">"}[method]
        if a.dtype == "bool":
            with pytest.raises(RuntimeError, match=f"scalar {op} operation"):
                call()
            return multiple()
        out = call()
        if a.value is None:
            check_tensor(out)
            return multiple()
        return self.add_entry(out, compare(op, a.value, to_elem(d, a.dtype)), "bool", a.shape, False, None)

    @rule(target=tensors, a=tensors, op=st.sampled_from(["~", "relu", "zeros_like", "ones_like", "relu_kw"]))
    def unary(self, a, op):
        if op == "~":
            if a.dtype != "bool":
                with pytest.raises(RuntimeError, match="^Logical NOT is only supported for Bool data type.$"):
                    ~a.t
                return multiple()
            out = ~a.t
            want = None if a.value is None else np.logical_not(a.value)
            e = self.add_entry(out, want, "bool", a.shape, False, None)
            assert out.strides == a.t.strides
            return e
        if op in ("zeros_like", "ones_like"):
            out = getattr(a.t, op)()
            want = None
            if a.value is not None:
                want = (np.zeros if op == "zeros_like" else np.ones)(a.shape, dtype=NP[a.dtype])
            e = self.add_entry(out, want, a.dtype, a.shape, False, None)
            assert is_standard(out.shape, out.strides)
            return e
        node = self.record("relu", (a,), (a.value,)) if a.requires_grad else None
        call = (lambda: relu(py_tensor=a.t)) if op == "relu_kw" else (lambda: relu(a.t))
        if a.dtype == "bool":
            expect_outcome(call, Fault(TypeError, "Tensor Dtype not supported for this operation: relu"))
            return multiple()
        out = call()
        want = None
        if a.value is not None:
            with np.errstate(all="ignore"):
                want = np.where(a.value > 0, a.value, np.zeros((), a.value.dtype)).astype(a.value.dtype)
        e = self.add_entry(out, want, a.dtype, a.shape, a.requires_grad, node)
        assert out.strides == a.t.strides
        return e

    @rule(target=tensors, a=tensors, shape=shape_args(), keyword=st.booleans())
    def reshape(self, a, shape, keyword):
        call = (lambda: a.t.reshape(shape=shape)) if keyword else (lambda: a.t.reshape(shape))
        try:
            new = convert_shape(shape)
        except (TypeError, OverflowError, RuntimeError) as exc:
            with pytest.raises(type(exc)):
                call()
            return multiple()
        node = self.record("reshape", (a,), (a.shape,)) if a.requires_grad else None
        if nonzero_product(new) > WORD_MAX or count(new) != count(a.shape):
            predicted = Fault(ValueError, "Error while reshape: ShapeError/IncompatibleShape: incompatible shapes")
        elif not is_standard(a.t.shape, a.t.strides):
            predicted = Fault(ValueError, "Error while reshape: ShapeError/IncompatibleLayout: incompatible memory layout")
        else:
            try:
                predicted = None if a.value is None else a.value.reshape(new)
            except ValueError:
                predicted = None  # more axes or a larger size than NumPy allows
        if isinstance(predicted, Fault):
            expect_outcome(call, predicted)
            return multiple()
        out = call()
        e = self.add_entry(out, predicted, a.dtype, new, a.requires_grad, node)
        assert is_standard(out.shape, out.strides)
        return e

    @rule(target=tensors, a=tensors, d0=DIM_ARGS, d1=DIM_ARGS)
    def transpose(self, a, d0, d1):
        call = lambda: a.t.transpose(d0, d1)  # noqa: E731
        try:
            i, j = convert_size(d0), convert_size(d1)
        except (TypeError, OverflowError, RuntimeError) as exc:
            with pytest.raises(type(exc)):
                call()
            return multiple()
        node = self.record("transpose", (a,), (i, j)) if a.requires_grad else None
        n = len(a.shape)
        if i >= n or j >= n:
            with pytest.raises(ALLOWED):
                call()
            return multiple()
        out = call()
        shape = list(a.shape)
        shape[i], shape[j] = shape[j], shape[i]
        strides = list(a.t.strides)
        strides[i], strides[j] = strides[j], strides[i]
        want = None if a.value is None else np.swapaxes(a.value, i, j)
        e = self.add_entry(out, want, a.dtype, shape, a.requires_grad, node)
        assert out.strides == strides
        return e

    @rule(a=tensors, which=st.sampled_from(["neg", "abs", "hash", "len", "index", "float", "pow", "mod", "iter",
                                            "bool", "setattr", "reshape()", "transpose(1)", "to_numpy(1)",
                                            "clear_graph(1)", "backward(1)", "grad(1)", "relu()", "relu(2)",
                                            "relu(x=)", "weakref", "subclass"]))
    def misuse(self, a, which):
        import weakref

        t = a.t
        calls = {
            "neg": lambda: -t, "abs": lambda: abs(t), "hash": lambda: hash(t), "len": lambda: len(t),
            "index": lambda: t[0], "float": lambda: float(t), "pow": lambda: t**2, "mod": lambda: t % 2,
            "iter": lambda: iter(t), "reshape()": lambda: t.reshape(), "transpose(1)": lambda: t.transpose(1),
            "to_numpy(1)": lambda: t.to_numpy(1), "clear_graph(1)": lambda: Tensor.clear_graph(1),
            "backward(1)": lambda: t.backward(1), "grad(1)": lambda: t.grad(1), "relu()": lambda: relu(),
            "relu(2)": lambda: relu(2.0), "relu(x=)": lambda: relu(x=t), "weakref": lambda: weakref.ref(t),
            "subclass": lambda: type("Sub", (Tensor,), {}),
        }
        if which == "bool":
            assert bool(t) is True
            return
        if which == "setattr":
            with pytest.raises(AttributeError):
                t.anything = 1
            with pytest.raises(AttributeError):
                t.shape = [1]
            return
        with pytest.raises(TypeError):
            calls[which]()

    # Differentiation -----------------------------------------------------

    @rule(a=tensors)
    def backward(self, a):
        if not a.requires_grad:
            expect_outcome(a.t.backward, Fault(ValueError, "backward() called on tensor that does not require grad"))
            return
        if a.epoch != self.model.epoch:
            with pytest.raises(RuntimeError):
                a.t.backward()
            return
        try:
            if a.value is None or self.model.blind:
                raise Unknown("root")
            seed = np.ones(a.shape, dtype=NP[a.dtype])
            ctx = reference_backward(self.model, a.node, seed)
        except TooBig as big:
            note(f"skipped backward: product {big}")
            return
        except Fault as f:
            ctx = f
        except (Unknown, ValueError):
            ctx = None  # NumPy cannot follow (huge empty axes, unknown values)
        try:
            a.t.backward()
        except ALLOWED as exc:
            assert ctx is None or isinstance(ctx, Fault), f"backward() failed where the rules succeed: {exc}"
            return
        if ctx is None:
            self.model.blind = True
            return
        assert not isinstance(ctx, Fault), f"backward() succeeded where the rules fail: {ctx.kind} {ctx.message}"
        for i, g in ctx.items():
            self.model.published[i] = g

    @invariant()
    def gradients(self):
        for e in self.entries:
            try:
                got = e.t.grad()
            except ValueError:
                assert len(e.shape) > 32  # the export limit
                continue
            live = e.requires_grad and e.epoch == self.model.epoch
            if live and self.model.blind:
                assert got is None or (got.dtype == NP[e.dtype] and type(got) is np.ndarray)
                continue
            want = self.model.published.get(e.node) if live else None
            if want is None:
                assert got is None, f"grad() of {e.shape} {e.dtype} should be None"
                continue
            assert got is not None
            assert got.dtype == NP[e.dtype]
            if want.exact:
                assert_same(got, want.value, "gradient")
            else:
                assert got.shape == want.value.shape

    @rule()
    def clear_graph(self):
        Tensor.clear_graph()
        self.model.clear()

    @rule(a=tensors)
    def properties_again(self, a):
        # Two reads give equal, fresh lists; exports never share memory.
        assert a.t.shape == a.t.shape and a.t.shape is not a.t.shape
        if a.value is not None and a.value.size and len(a.shape) <= 32:
            x, y = a.t.to_numpy(), a.t.to_numpy()
            assert not np.shares_memory(x, y)
            x[...] = 0
            assert_same(a.t.to_numpy(), a.value, "export after a change to an earlier export")


TensorProgram.TestCase.settings = settings(
    settings.default,
    stateful_step_count=80,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much, HealthCheck.data_too_large],
)
test_random_programs = TensorProgram.TestCase


# --- hostile arguments --------------------------------------------------------


class ShrinkingShape(list):
    """A shape list whose first element empties the list while it is read."""


def _shrinking_shape():
    shape = ShrinkingShape()

    class Clears:
        def __index__(self):
            shape.clear()
            return 2

    shape.extend([Clears(), 3, 1, 1, 1, 1])
    return shape


class LyingSequence:
    """Claims more items than it has, then fails to produce them."""

    def __len__(self):
        return 5

    def __getitem__(self, i):
        if i < 2:
            return 3 - i
        raise IndexError(i)


class RaisingSequence:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise KeyError("nope")


@pytest.mark.parametrize(
    ("shape", "outcome"),
    [
        # The list is read once into a private copy: clearing it midway does
        # not shorten what is being converted.
        (_shrinking_shape(), [2, 3, 1, 1, 1, 1]),
        (LyingSequence(), [3, 2]),
        (RaisingSequence(), KeyError),
        (iter([2, 3]), TypeError),
        ({"a": 1}, TypeError),
    ],
)
def test_reshape_with_hostile_sequences(shape, outcome):
    t = Tensor(np.arange(6, dtype=np.float32))
    if isinstance(outcome, list):
        out = t.reshape(shape)
        assert out.shape == outcome
        np.testing.assert_array_equal(out.to_numpy(), np.arange(6, dtype=np.float32).reshape(outcome))
    else:
        with pytest.raises(outcome):
            t.reshape(shape)


class ClearsTape:
    """A number whose conversion empties the calling thread's tape."""

    def __float__(self):
        Tensor.clear_graph()
        return 2.0


class BuildsTensors:
    def __index__(self):
        Tensor([1.0, 2.0], requires_grad=True) * 3.0
        return 1


def test_conversions_that_reenter_the_module():
    # Operands are converted before anything is recorded. A tape cleared by
    # the conversion makes x stale, so the product records an implicit leaf
    # in its place: the graph differentiates, and x itself gets nothing.
    x = Tensor([1.0, -2.0], requires_grad=True)
    y = x * ClearsTape()
    np.testing.assert_array_equal(y.to_numpy(), [2.0, -4.0])
    y.backward()
    assert x.grad() is None
    np.testing.assert_array_equal(y.grad(), [1.0, 1.0])
    # Nodes recorded by a conversion come before the reshape's own node.
    x = Tensor([1.0, -2.0], requires_grad=True)
    z = x.reshape([BuildsTensors(), 2])
    z.backward()
    np.testing.assert_array_equal(x.grad(), [1.0, 1.0])


class BadLower(str):
    def lower(self):
        return 42


class RaisingName:
    @property
    def __name__(self):
        raise LookupError("no name")


@pytest.mark.parametrize(
    ("kwargs", "error"),
    [
        ({"device": BadLower("cpu")}, None),  # lowered as a str, not by the override
        ({"dtype": RaisingName()}, LookupError),
        ({"dtype": type("N", (), {"__name__": 5})()}, TypeError),
        ({"requires_grad": np.array(True)}, TypeError),
    ],
)
def test_construction_with_hostile_arguments(kwargs, error):
    if error is None:
        assert Tensor([1.0], **kwargs).device == "cpu"
        return
    with pytest.raises(error):
        Tensor([1.0], **kwargs)


@pytest.mark.parametrize(
    ("a_shape", "b_shape", "backward", "error"),
    [
        ((HUGE, 0), (0, HUGE), False, RuntimeError),  # element count past a machine word
        ((2**31, 0), (0, 2**31), False, MemoryError),  # fits a word, not memory
        ((HUGE, 0, 2), (2, 3), True, MemoryError),  # empty forward, huge gradient product
    ],
)
def test_matrix_products_too_large_to_hold(a_shape, b_shape, backward, error):
    a = Tensor(np.empty(a_shape, np.float32), requires_grad=True)
    b = Tensor(np.ones(b_shape, np.float32), requires_grad=True)
    if not backward:
        with pytest.raises(error):
            a @ b
        return
    r = a @ b
    assert r.shape == [HUGE, 0, 3]
    with pytest.raises(error):
        r.backward()
    assert b.grad() is None
    # The failed pass left the tape as it was: a smaller graph on it still runs.
    (b * 2.0).backward()
    np.testing.assert_array_equal(b.grad(), np.full(b_shape, 2.0, np.float32))
