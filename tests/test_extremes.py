"""Inputs at the extremes: thousands of axes, results too large for memory,
NumPy arrays and NumPy scalars as operands.

Every operation must work at any rank without using stack in proportion to
it, an allocation that cannot be satisfied must raise MemoryError and leave
the interpreter, the tape and every tensor usable, and NumPy objects beside a
tensor must behave as numbers (0-d) or be refused (arrays). The cases that
could end the process run in a child interpreter each, so one crash cannot
hide another.
"""

import operator
import os
import subprocess
import sys
import textwrap

import ml_dtypes
import numpy as np
import pytest

from pelor_core import Tensor

# Address-space limits and sanitizer runtimes do not mix: the runtimes
# reserve terabytes of shadow memory up front.
SANITIZED = any(lib in os.environ.get("LD_PRELOAD", "") for lib in ("libasan", "libtsan"))

CHILD_PRELUDE = """
import resource, sys, threading
import ml_dtypes
import numpy as np
import pelor_core
from pelor_core import Tensor
relu = pelor_core.nn.functional.relu
DT = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16, "bool": np.bool_}

def address_space():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * resource.getpagesize()

def limit_address_space(extra):
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + extra, resource.RLIM_INFINITY))

def unlimit_address_space():
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))

def expect_memory_error(call):
    try:
        call()
    except MemoryError as exc:
        assert str(exc).startswith("Unable to allocate "), exc
        return str(exc)
    raise AssertionError("no MemoryError")
"""


def _address_limits_apply():
    """Whether an address-space limit makes a larger allocation fail here.
    A user-mode emulator (qemu running the aarch64 suite) accepts the limit
    but does not apply it."""
    code = (
        "import mmap, resource\n"
        "with open('/proc/self/statm') as f:\n"
        "    used = int(f.read().split()[0]) * resource.getpagesize()\n"
        "resource.setrlimit(resource.RLIMIT_AS, (used + (64 << 20), resource.RLIM_INFINITY))\n"
        "try:\n"
        "    mmap.mmap(-1, 1 << 30)\n"
        "except OSError:\n"
        "    print('refused')\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    return done.stdout.strip() == "refused"


ADDRESS_LIMITS_APPLY = not SANITIZED and _address_limits_apply()


def run_child(body, *args, timeout=600):
    code = CHILD_PRELUDE + textwrap.dedent(body) + '\nprint("ok")\n'
    done = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stderr[-4000:]}"
    assert done.stdout.strip().endswith("ok"), done.stdout
    return done.stdout


# --- thousands of axes ----------------------------------------------------

# Runs case() in a thread with a 256 KiB stack: an operation that recursed
# once per axis would overflow it long before the rank used here.
DEEP_PRELUDE = """
N = int(sys.argv[1])
SMALL_STACK = sys.argv[2] == "thread"
rng = np.random.default_rng(11)

def data(shape, dtype):
    # Small integers: every sum and product below is exact in every type.
    if dtype == "bool":
        return rng.random(shape) < 0.5
    return rng.integers(-4, 5, shape).astype(np.float32).astype(DT[dtype])

def deep(x, dtype, requires_grad=False, lead=None):
    # x with N leading axes of length 1 (or the `lead` axes given), and the leaf.
    leaf = Tensor(x, dtype=dtype, requires_grad=requires_grad)
    lead = [1] * N if lead is None else lead
    return leaf.reshape(lead + list(x.shape)), leaf

def shallow(t, shape):
    assert t.ndim > 1000
    return t.reshape(list(shape)).to_numpy()

def same(got, want):
    assert got.dtype == want.dtype and got.shape == want.shape, (got.dtype, got.shape, want.dtype, want.shape)
    assert np.array_equal(got.astype(np.float32), want.astype(np.float32), equal_nan=True), (got, want)
"""

DEEP_RUNNER = """
if SMALL_STACK:
    threading.stack_size(256 * 1024)
    errors = []
    def guarded():
        try:
            case()
        except BaseException as exc:
            errors.append(exc)
    worker = threading.Thread(target=guarded)
    worker.start()
    worker.join()
    if errors:
        raise errors[0]
else:
    case()
"""

DEEP_CASES = {
    "binary": """
        import operator as o
        ops = {"+": o.add, "-": o.sub, "*": o.mul, "/": o.truediv}
        cmps = {"==": o.eq, "<": o.lt, "<=": o.le, ">": o.gt, ">=": o.ge}
        for dtype in ("f32", "f16", "bf16", "bool"):
            a_np, b_np = data((2, 3), dtype), data((1, 3), dtype)
            if dtype != "bool":
                b_np[b_np == 0] = 1
            a, _ = deep(a_np, dtype)
            b, _ = deep(b_np, dtype)
            short = Tensor(b_np[0], dtype=dtype)  # rank 1 against rank N + 2
            table = cmps if dtype == "bool" else {**ops, **cmps}
            for name, f in table.items():
                want = f(a_np, b_np)
                same(shallow(f(a, b), (2, 3)), want)
                same(shallow(f(a, short), (2, 3)), want)
                same(shallow(f(b, a), (2, 3)), f(b_np, a_np))
            if dtype == "bool":
                for f in (o.and_, o.or_, o.xor):
                    same(shallow(f(a, b), (2, 3)), f(a_np, b_np))
                same(shallow(~a, (2, 3)), ~a_np)
    """,
    "scalar": """
        for dtype in ("f32", "f16", "bf16"):
            x_np = data((2, 3), dtype)
            x, _ = deep(x_np, dtype)
            two = DT[dtype](2.0)
            same(shallow(x + 2.0, (2, 3)), x_np + two)
            same(shallow(2.0 + x, (2, 3)), x_np + two)
            same(shallow(x - 2.0, (2, 3)), x_np - two)
            same(shallow(x * 2.0, (2, 3)), x_np * two)
            same(shallow(x / 2.0, (2, 3)), x_np / two)
            for f in (lambda u, v: u < v, lambda u, v: u >= v, lambda u, v: u == v):
                same(shallow(f(x, 1.0), (2, 3)), f(x_np, DT[dtype](1.0)))
    """,
    "unary_and_shape": """
        for dtype in ("f32", "f16", "bf16", "bool"):
            x_np = data((2, 3), dtype)
            x, _ = deep(x_np, dtype)
            if dtype != "bool":
                same(shallow(relu(x), (2, 3)), np.maximum(x_np, DT[dtype](0)))
            same(shallow(x.zeros_like(), (2, 3)), np.zeros((2, 3), DT[dtype]))
            same(shallow(x.ones_like(), (2, 3)), np.ones((2, 3), DT[dtype]))
            same(shallow(x.reshape([1] * (N + 1) + [3, 2]), (3, 2)), x_np.reshape(3, 2))
            # A length-1 axis swapped with the rows keeps row-major order.
            same(shallow(x.transpose(0, N), (2, 3)), x_np)
            # Rows and columns swapped, then swapped back.
            swapped = x.transpose(N, N + 1)
            assert swapped.shape[-2:] == [3, 2] and swapped.strides[-2:] == [1, 3]
            same(shallow(swapped.transpose(N + 1, N), (2, 3)), x_np)
    """,
    "matmul": """
        for dtype in ("f32", "f16", "bf16"):
            a_np, b_np = data((2, 3), dtype), data((3, 4), dtype)
            a, _ = deep(a_np, dtype)
            b, _ = deep(b_np, dtype)
            want = (a_np.astype(np.float32) @ b_np.astype(np.float32)).astype(DT[dtype])
            same(shallow(a @ b, (2, 4)), want)
            same(shallow(a @ Tensor(b_np, dtype=dtype), (2, 4)), want)  # B without batch axes
            same(shallow(a @ b.transpose(N, N + 1).transpose(N, N + 1), (2, 4)), want)
            # A batch axis of length 2 half-way down the length-1 ones, stretched for B.
            stack_np = data((2, 2, 3), dtype)
            stack, _ = deep(stack_np[:, None], dtype, lead=[1] * (N // 2))
            want = (stack_np.astype(np.float32) @ b_np.astype(np.float32)).astype(DT[dtype])
            same(shallow(stack @ b, (2, 2, 4)), want)
    """,
    # Gradients of a graph on deep tensors equal those of the same graph on
    # the shallow tensors (reshape sends them back to the leaves' shapes).
    "backward": """
        def graph(x, w, b):
            h = relu(x @ w + b)
            z = (h * h - x @ w) / (b * b + 1.0)
            return z * 0.5 + 1.0

        for dtype in ("f32", "f16", "bf16"):
            x_np, w_np, b_np = data((2, 3), dtype), data((3, 4), dtype), data((2, 4), dtype)
            grads = []
            for depth in (N, 0):
                Tensor.clear_graph()
                lead = [1] * depth
                leaves = [Tensor(v, dtype=dtype, requires_grad=True) for v in (x_np, w_np, b_np)]
                x, w, b = (t.reshape(lead + list(v.shape)) for t, v in zip(leaves, (x_np, w_np, b_np)))
                graph(x, w, b).backward()
                grads.append([t.grad() for t in leaves])
            for got, want in zip(*grads):
                same(got, want)
            Tensor.clear_graph()
    """,
}


@pytest.mark.parametrize("case", sorted(DEEP_CASES))
def test_thousands_of_axes_on_a_small_stack(case):
    run_child(DEEP_PRELUDE + "def case():\n" + textwrap.indent(textwrap.dedent(DEEP_CASES[case]), "    ") + DEEP_RUNNER,
              3000, "thread")


@pytest.mark.parametrize("case", ["matmul", "backward"])
def test_matrix_product_with_fifty_thousand_batch_axes(case):
    run_child(DEEP_PRELUDE + "def case():\n" + textwrap.indent(textwrap.dedent(DEEP_CASES[case]), "    ") + DEEP_RUNNER,
              50_000, "main")


# --- results that cannot be allocated ---------------------------------------

# (operator, element type, axis length): operands of shapes (n, 1) and
# (1, n) give n * n elements, terabytes that no allocator grants. (A byte
# count past a machine word needs operands of 2^31 elements here; matrix
# products with an empty inner axis reach it from tiny operands, see
# test_matmul.py.)
HUGE_BROADCASTS = [
    *[(op, "f32", 1 << 20) for op in ("+", "-", "*", "/", "==", "<", "@")],
    *[(op, dtype, 1 << 20) for op in ("+", "@") for dtype in ("f16", "bf16")],
    *[(op, "bool", 1 << 21) for op in ("&", "|", "^", ">=")],
]


@pytest.mark.parametrize(("op", "dtype", "n"), HUGE_BROADCASTS)
def test_result_too_large_for_memory_raises_memory_error(op, dtype, n):
    run_child(
        """
        op, dtype, n, sanitized = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4] == "True"
        if not sanitized:
            # Whatever the system's overcommit policy, nothing this large is granted.
            limit_address_space(8 << 30)
        grad = dtype != "bool"
        a_np, b_np = np.full((n, 1), 3, DT[dtype]), np.full((1, n), 2, DT[dtype])
        a = Tensor(a_np, dtype=dtype, requires_grad=grad)
        b = Tensor(b_np, dtype=dtype, requires_grad=grad)
        fn = {"+": lambda: a + b, "-": lambda: a - b, "*": lambda: a * b, "/": lambda: a / b, "@": lambda: a @ b,
              "==": lambda: a == b, "<": lambda: a < b, ">=": lambda: a >= b, "&": lambda: a & b,
              "|": lambda: a | b, "^": lambda: a ^ b}[op]
        message = expect_memory_error(fn)
        assert "TiB" in message and f"{n * n} elements" in message, message
        # Operands, tape and interpreter carry on.
        assert np.array_equal(a.to_numpy(), a_np) and np.array_equal(b.to_numpy(), b_np)
        if grad:
            y = a * 2.0
            y.backward()
            assert (a.grad() == 2).all() and a.grad().shape == (n, 1)
        """,
        op, dtype, n, SANITIZED,
    )


# Every other allocation of a result, gradient or copy, made to fail by an
# address-space limit: a 64 MiB operand, and room for half of a result (or,
# for the gradient kernels, for the seed and half of one more); headroom is
# counted in operand sizes. After the
# limit is lifted the same call succeeds on the same tensors and tape.
S = 1 << 24  # float32 elements: 64 MiB
LIMITED = {
    # name: (set-up run before the limit, call, headroom in operand sizes, check after the limit is lifted)
    # NumPy's own copy or the import's, whichever comes first
    "construction": ("", "Tensor(x_np)", 0.5, "assert r.shape == [S]"),
    "add": ("", "x + x", 0.5, "assert (r.to_numpy() == 2).all()"),
    "scalar add": ("", "x + 1.0", 0.5, "assert (r.to_numpy() == 2).all()"),
    "scalar compare": ("", "x < 2.0", 0.125, "assert r.to_numpy().all()"),  # one byte per element
    "compare": ("", "x == x", 0.125, "assert r.to_numpy().all()"),
    "relu": ("", "relu(x)", 0.5, "assert (r.to_numpy() == 1).all()"),
    "logical": ("", "m & m", 0.5, "assert r.to_numpy().all()"),
    "logical not": ("", "~m", 0.5, "assert not r.to_numpy().any()"),
    "zeros_like": ("", "x.zeros_like()", 0.5, "assert not r.to_numpy().any()"),
    "ones_like": ("", "x.ones_like()", 0.5, "assert (r.to_numpy() == 1).all()"),
    "to_numpy": ("", "x.to_numpy()", 0.5, "assert (r == 1).all()"),  # NumPy's allocation
    "grad": ("(x * 3.0).backward()", "x.grad()", 0.5, "assert (r == 3).all()"),
    "seed": ("y = x * w", "y.backward()", 0.5, "assert (x.grad() == 2).all()"),
    "mul backward": ("y = x * w", "y.backward()", 1.5, "assert (x.grad() == 2).all() and (w.grad() == 1).all()"),
    "div backward": ("y = x / w", "y.backward()", 1.5, "assert (x.grad() == 0.5).all()"),
    # Both contributions share the seed's buffer; their sum is the allocation.
    "add backward": ("y = x + x", "y.backward()", 1.5, "assert (x.grad() == 2).all()"),
    "relu backward": ("y = relu(x)", "y.backward()", 1.5, "assert (x.grad() == 1).all()"),
    "matmul backward": ("y = x.reshape([4096, 4096]) @ v", "y.backward()", 0.5,
                        "assert (x.grad() == 1).all() and (v.grad() == 4096).all()"),
}


@pytest.mark.skipif(SANITIZED, reason="sanitizer runtimes cannot run under an address-space limit")
@pytest.mark.skipif(not SANITIZED and not ADDRESS_LIMITS_APPLY, reason="address-space limits are not applied here")
@pytest.mark.parametrize("name", sorted(LIMITED))
def test_every_allocation_fails_with_memory_error(name):
    setup, call, headroom, check = LIMITED[name]
    run_child(
        f"""
        S = {S}
        x_np = np.ones(S, np.float32)
        x = Tensor(x_np, requires_grad=True)
        w = Tensor([2.0], requires_grad=True)
        v = Tensor(np.ones((4096, 1), np.float32), requires_grad=True)
        m = Tensor(np.ones(S * 4, np.bool_), dtype="bool")
        {setup}
        limit_address_space(int({headroom} * S * 4))
        expect_memory_error(lambda: {call})
        unlimit_address_space()
        r = {call}
        {check}
        assert (x.to_numpy() == 1).all()
        """,
    )


# Reshape and transpose share their operand's buffer: no room for a copy needed.
SHARING = {
    "reshape": ("", "x.reshape([4096, 4096])", "assert r.shape == [4096, 4096] and (r.to_numpy() == 1).all()"),
    "transpose": ("sq = x.reshape([4096, 4096])", "sq.transpose(0, 1)", "assert r.strides == [1, 4096]"),
}


@pytest.mark.skipif(SANITIZED, reason="sanitizer runtimes cannot run under an address-space limit")
@pytest.mark.skipif(not SANITIZED and not ADDRESS_LIMITS_APPLY, reason="address-space limits are not applied here")
@pytest.mark.parametrize("name", sorted(SHARING))
def test_reshape_and_transpose_allocate_no_buffer(name):
    setup, call, check = SHARING[name]
    run_child(
        f"""
        x = Tensor(np.ones({S}, np.float32), requires_grad=True)
        {setup}
        limit_address_space({S})
        r = {call}
        unlimit_address_space()
        {check}
        """,
    )


# --- NumPy objects as operands ------------------------------------------------

OPERATORS = {
    "+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv, "@": operator.matmul,
    "&": operator.and_, "|": operator.or_, "^": operator.xor,
    "==": operator.eq, "!=": operator.ne, "<": operator.lt, "<=": operator.le, ">": operator.gt, ">=": operator.ge,
}
ARRAYS = {
    "float64 vector": np.array([9.0, 9.0, 9.0]),
    "float32 matrix": np.ones((3, 3), np.float32),
    "float16 column": np.ones((3, 1), np.float16),
    "bfloat16 vector": np.array([1.0, 2.0, 3.0], ml_dtypes.bfloat16),
    "bool vector": np.array([True, False, True]),
    "one element": np.array([2.0]),
    "empty": np.empty((0, 3)),
}


@pytest.mark.parametrize("dtype", ["f32", "bool"])
@pytest.mark.parametrize("array", sorted(ARRAYS))
@pytest.mark.parametrize("op", sorted(OPERATORS))
@pytest.mark.parametrize("tensor_left", [True, False])
def test_numpy_arrays_as_operands_are_refused(op, array, tensor_left, dtype):
    t = Tensor([1.0, 2.0, 3.0], dtype=dtype)
    a = ARRAYS[array].copy()
    fn = OPERATORS[op]
    call = (lambda: fn(t, a)) if tensor_left else (lambda: fn(a, t))
    if op == "==":
        assert call() is False  # the interpreter's identity fallback
    elif op == "!=":
        assert call() is True
    else:
        with pytest.raises(TypeError):
            call()
    np.testing.assert_array_equal(a, ARRAYS[array])
    np.testing.assert_array_equal(t.to_numpy(), np.array([1.0, 2.0, 3.0]).astype(np.float32 if dtype == "f32" else bool))


@pytest.mark.parametrize("inplace", ["+=", "-=", "*=", "/=", "@=", "&="])
def test_augmented_assignment_between_arrays_and_tensors_is_refused(inplace):
    t = Tensor(np.ones((3, 3), np.float32))
    a = np.ones((3, 3), np.float32)
    for target, other in ((a, t), (t, a)):
        scope = {"target": target, "other": other}
        with pytest.raises(TypeError):
            exec(f"target {inplace} other", scope)
    np.testing.assert_array_equal(a, np.ones((3, 3), np.float32))


def test_ufuncs_refuse_tensors():
    t = Tensor([1.0, 2.0])
    with pytest.raises(TypeError):
        np.add(t, np.ones(2))
    with pytest.raises(TypeError):
        np.multiply(2.0, t)


SCALARS = {
    "float64": np.float64(2.5), "float32": np.float32(-1.5), "float16": np.float16(0.25), "int64": np.int64(3),
    "uint8": np.uint8(7), "bool": np.bool_(True), "bfloat16": ml_dtypes.bfloat16(1.5), "0-d array": np.array(2.0),
    "0-d float16 array": np.array(-0.5, np.float16),
}


def outcome(call):
    try:
        r = call()
    except TypeError:
        return TypeError
    if isinstance(r, Tensor):
        return (r.dtype, r.shape, r.requires_grad, r.to_numpy().tobytes())
    return r


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16"])
@pytest.mark.parametrize("scalar", sorted(SCALARS))
@pytest.mark.parametrize("op", sorted(OPERATORS))
@pytest.mark.parametrize("tensor_left", [True, False])
def test_numpy_scalars_behave_as_the_python_number(op, scalar, tensor_left, dtype):
    # The oracle is the same operator with the equal Python float.
    t = Tensor([[1.0, -2.0], [0.5, 4.0]], dtype=dtype, requires_grad=True)
    x = SCALARS[scalar]
    fn = OPERATORS[op]
    if tensor_left:
        got, want = outcome(lambda: fn(t, x)), outcome(lambda: fn(t, float(x)))
    else:
        got, want = outcome(lambda: fn(x, t)), outcome(lambda: fn(float(x), t))
    assert got == want
    Tensor.clear_graph()
