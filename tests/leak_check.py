"""Leak check of every public operation of pelor_core (run by `make leak-check`).

Each operation (construction, every operator, the methods, relu, backward,
grad, clear_graph, and the errors each of them raises) is repeated many times;
across the repetitions none of these may grow:

- sys.gettotalrefcount(): references held anywhere (debug interpreter only);
- the reference counts of the long-lived objects an operation touches (the
  Tensor type, NumPy's functions and dtype descriptors, the operands);
- sys.getallocatedblocks(): the interpreter's small-object blocks;
- the C heap in use (glibc mallinfo2): storages, tape nodes, gradients.

NumPy is a release build even under the debug interpreter, and its own
reference operations do not update the debug reference total: every NumPy
array created and freed moves the total by one. For operations that create
arrays (construction, export, grad()) the total is therefore not taken; a
reference they leak to a per-call object still shows as blocks or heap that
are never freed, and one to a long-lived object in the watched counts.

A warm-up fills the caches that legitimately stay (the NumPy C API, the
bfloat16 descriptor, interpreter caches) before anything is measured. Caches
can still fill up a little inside the measured window (the interpreter's type
caches, NumPy's descriptor caches: a few dozen blocks, once), so a leak is
growth that rises with the number of calls: each operation runs a round of N
calls and then one of 3N, and a measure counts as leaking only when the first
round exceeds its limit and the second grows at least twice as much, by more
than the limit again. A per-call leak grows three times as much in the second
round; a cache that fills once does not. A case flagged this way is measured
again from scratch and fails only when flagged twice.

A second check trains a small network for 100,000 steps with clear_graph()
between steps and requires resident memory to stay flat.

Meant for the debug interpreter (python3.14-dbg), against a module built for
it; under a release interpreter the reference count is not available and only
the other measures are taken.
"""

import ctypes
import gc
import os
import sys
import threading
import time

import ml_dtypes  # registers the "bfloat16" NumPy dtype
import numpy as np

import pelor_core
from pelor_core import Tensor

relu = pelor_core.nn.functional.relu

REPEAT = int(os.environ.get("PELOR_LEAK_REPEAT", "1000"))
WARMUP = 100
TRAIN_STEPS = int(os.environ.get("PELOR_LEAK_TRAIN_STEPS", "100000"))
# Growth a round of REPEAT calls may show without rising with the calls; a
# leak of one object per call exceeds it REPEAT-fold.
MAX_REFS = 20
MAX_BLOCKS = 20
MAX_HEAP = 64 * 1024
MAX_RSS = 4 * 1024 * 1024


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


try:
    _libc = ctypes.CDLL(None)
    _libc.mallinfo2.restype = MallInfo2
    _libc.malloc_trim.argtypes = [ctypes.c_size_t]
    _libc.malloc.restype = ctypes.c_void_p
    _libc.malloc.argtypes = [ctypes.c_size_t]
except (OSError, AttributeError):
    _libc = None


def heap_in_use():
    if _libc is None:
        return 0
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def refcount():
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0


WATCHED = []  # long-lived objects whose counts must not move; filled below


def watched_refs():
    return [sys.getrefcount(o) for o in WATCHED]


def snapshot():
    gc.collect()
    return refcount(), sys.getallocatedblocks(), heap_in_use(), watched_refs()


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# --- the operations ------------------------------------------------------------

rng = np.random.default_rng(3)
A_NP = rng.standard_normal((3, 4)).astype(np.float32)
B_NP = rng.standard_normal((4, 2)).astype(np.float32)
A = Tensor(A_NP)
A2 = Tensor(A_NP * 2)
B = Tensor(B_NP)
ROW = Tensor(A_NP[0])
H = Tensor(A_NP, dtype="f16")
BF = Tensor(A_NP, dtype="bf16")
M1 = Tensor(A_NP > 0, dtype="bool")
M2 = Tensor(A_NP < 0.5, dtype="bool")
AT = A.transpose(0, 1)
EMPTY = Tensor(np.empty((0, 3), np.float32))
WATCHED += [Tensor, pelor_core, pelor_core.nn, pelor_core.nn.functional, relu, np, np.array, np.dtype,
            np.dtype("float32"), np.dtype("float16"), np.dtype("bool"), np.dtype(ml_dtypes.bfloat16),
            ml_dtypes.bfloat16, np.float32, np.float16, np.bool_, A_NP, B_NP, A, A2, B, ROW, H, BF, M1, M2, AT]


def raises(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn} did not raise {exc.__name__}")


def cast_error(dtype, value):
    """Construction whose float32 -> 16-bit cast raises under np.errstate."""
    data = np.array([1.0, value], np.float32)

    def run():
        with np.errstate(all="raise"):
            raises(FloatingPointError, Tensor, data, dtype=dtype)

    return run


def with_grad(fn):
    """Runs a differentiable case on a fresh tape and clears it after."""

    def run():
        fn()
        Tensor.clear_graph()

    run.__name__ = fn.__name__
    return run


def backward_through_everything():
    x = Tensor(A_NP, requires_grad=True)
    w = Tensor(B_NP, requires_grad=True)
    y = relu(x @ w) * 2.0 + 1.0
    z = (y - 0.5) / 3.0
    q = z * z / (z + 4.0) - z
    # A transposed gradient cannot go back through a reshape: transpose first,
    # then the row-major sum can be reshaped.
    r = (q.transpose(0, 1) + Tensor(np.zeros((2, 3), np.float32))).reshape([6]).reshape((3, 2))
    r.backward()
    for t in (x, w, y, z, q, r):
        assert t.grad() is not None


def backward_twice():
    x = Tensor(A_NP, requires_grad=True)
    y = x * x
    y.backward()
    y.backward()
    x.grad()


def backward_reshape_then_transpose():
    # The gradient arrives transposed and is copied to row-major for the reshape.
    x = Tensor(A_NP, requires_grad=True)
    x.reshape([4, 3]).transpose(0, 1).backward()
    assert x.grad() is not None


def backward_accumulation_of_shapes():
    # x receives a (2, 3) gradient through a and a (2, 4) one through b: each
    # is summed to x's own shape (2, 1) before they are added.
    x = Tensor([[1.0], [2.0]], requires_grad=True)
    a = x + Tensor(np.ones((1, 3), np.float32))
    b = x * Tensor(np.ones((2, 4), np.float32))
    (a @ Tensor(np.ones((3, 4), np.float32)) + b).backward()
    assert x.grad().shape == (2, 1)


def backward_stale_root():
    x = Tensor([1.0], requires_grad=True)
    Tensor.clear_graph()
    raises(RuntimeError, x.backward)
    assert x.grad() is None


def failed_ops_leave_nodes():
    x = Tensor(A_NP, requires_grad=True)
    raises(RuntimeError, lambda: x + B)
    raises(ValueError, lambda: x + H)
    raises(RuntimeError, lambda: x @ A)
    raises(ValueError, x.reshape, [5])
    raises((ValueError, RuntimeError, IndexError), x.transpose, 0, 9)
    b = Tensor([True, False], dtype="bool", requires_grad=True)
    raises(TypeError, relu, b)
    raises(ValueError, lambda: b + 1.0)


def thread_with_its_own_tape():
    def work():
        x = Tensor(A_NP, requires_grad=True)
        (x @ B).backward()
        x.grad()

    t = threading.Thread(target=work)
    t.start()
    t.join()


CASES = [
    # Construction, properties, export.
    ("construct list", lambda: Tensor([[1.0, 2.0], [3.0, 4.0]])),
    ("construct scalar", lambda: Tensor(3.0)),
    ("construct f32 array", lambda: Tensor(A_NP)),
    ("construct fortran", lambda: Tensor(np.asfortranarray(A_NP))),
    ("construct reversed", lambda: Tensor(A_NP[::-1])),
    ("construct f16", lambda: Tensor(A_NP, dtype="float16")),
    ("construct bf16", lambda: Tensor(A_NP, dtype=ml_dtypes.bfloat16)),
    ("construct f16 overflow raised", cast_error("f16", 1e6)),
    ("construct bf16 signalling NaN raised", cast_error("bf16", np.array(0x7F800001, np.uint32).view(np.float32))),
    ("construct f16 fortran", lambda: Tensor(np.asfortranarray(A_NP), dtype="f16")),
    ("construct bool", lambda: Tensor([True, False], dtype=bool)),
    ("construct dtype object", lambda: Tensor(A_NP, dtype=np.dtype("float16"))),
    ("construct empty", lambda: Tensor(np.empty((2**40, 0), np.float32))),
    ("construct requires_grad", with_grad(lambda: Tensor(A_NP, requires_grad=np.True_))),
    ("construct bad device", lambda: raises(ValueError, Tensor, A_NP, device="cuda")),
    ("construct bad dtype", lambda: raises(ValueError, Tensor, A_NP, dtype="int32")),
    ("construct bad dtype type", lambda: raises(ValueError, Tensor, A_NP, dtype=float)),
    ("construct requires_grad int", lambda: raises(TypeError, Tensor, A_NP, requires_grad=1)),
    ("construct device int", lambda: raises(TypeError, Tensor, A_NP, device=0)),
    ("construct ragged", lambda: raises(ValueError, Tensor, [[1.0], [2.0, 3.0]])),
    ("construct no data", lambda: raises(TypeError, Tensor)),
    ("construct unknown keyword", lambda: raises(TypeError, Tensor, A_NP, colour="red")),
    ("properties", lambda: (A.ndim, A.dtype, A.shape, A.strides, A.device, A.requires_grad, AT.strides)),
    ("property assignment", lambda: raises(AttributeError, setattr, A, "shape", [1])),
    ("to_numpy f32", A.to_numpy),
    ("to_numpy transposed", AT.to_numpy),
    ("to_numpy f16", H.to_numpy),
    ("to_numpy bf16", BF.to_numpy),
    ("to_numpy bool", M1.to_numpy),
    ("to_numpy 3-d swapped", lambda: Tensor(np.ones((2, 3, 4), np.float32)).transpose(0, 1).to_numpy()),
    # Operators.
    ("add", lambda: A + A2),
    ("add broadcast", lambda: A + ROW),
    ("sub", lambda: A - A2),
    ("mul", lambda: A * A2),
    ("div", lambda: A / A2),
    ("f16 div", lambda: H / H),
    ("bf16 mul", lambda: BF * BF),
    ("transposed add", lambda: AT + AT),
    ("matmul", lambda: A @ B),
    ("matmul f16", lambda: H @ Tensor(B_NP, dtype="f16")),
    ("matmul batched", lambda: Tensor(np.ones((2, 3, 4), np.float32)) @ B),
    ("scalar add", lambda: A + 1.5),
    ("scalar radd", lambda: 1.5 + A),
    ("scalar sub", lambda: A - 1),
    ("scalar mul", lambda: A * True),
    ("scalar rmul", lambda: 2 * A),
    ("scalar div", lambda: A / 3.0),
    ("scalar div zero", lambda: A / 0.0),
    ("compare tensors", lambda: (A == A2, A < A2, A <= A2, A > A2, A >= A2)),
    ("compare scalars", lambda: (A == 1.0, A < 1.0, A <= 1.0, A > 1.0, A >= 1.0, 2.0 < A)),
    ("not equal", lambda: (A != A2, A != 1.0, A != "a")),
    ("equal odd", lambda: (A == None, A == "a")),  # noqa: E711
    ("logical", lambda: (M1 & M2, M1 | M2, M1 ^ M2, ~M1)),
    ("reflected methods", lambda: (A.__req__(1.0), A.__rgt__(0.5), A.__rlt__(other=0.5))),
    ("reflected method error", lambda: raises(TypeError, A.__req__, "x")),
    ("dtype mismatch", lambda: raises(ValueError, lambda: A + H)),
    ("shape mismatch", lambda: raises(RuntimeError, lambda: A + B)),
    ("broadcast overflow", lambda: raises(RuntimeError, lambda: Tensor(np.empty((2**40, 1, 0), np.float32))
                                          + Tensor(np.empty((1, 2**40, 0), np.float32)))),
    ("bool arithmetic", lambda: raises(TypeError, lambda: M1 + M2)),
    ("bool scalar", lambda: raises(ValueError, lambda: M1 * 2.0)),
    ("compare mismatch", lambda: raises(RuntimeError, lambda: A == H)),
    ("logical non-bool", lambda: raises(RuntimeError, lambda: A & M1)),
    ("invert non-bool", lambda: raises(RuntimeError, lambda: ~A)),
    ("matmul rank", lambda: raises(RuntimeError, lambda: ROW @ B)),
    ("matmul inner", lambda: raises(RuntimeError, lambda: A @ A)),
    ("matmul huge", lambda: raises(RuntimeError, lambda: Tensor(np.empty((2**40, 0), np.float32))
                                   @ Tensor(np.empty((0, 2**40), np.float32)))),
    ("matmul unallocatable", lambda: raises(MemoryError, lambda: Tensor(np.empty((2**30, 0), np.float32))
                                            @ Tensor(np.empty((0, 2**30), np.float32)))),
    # The gradient of the (4, 2) operand has the stretched batch shape.
    ("backward unallocatable", with_grad(lambda: raises(
        MemoryError, (Tensor(np.empty((2**40, 0, 4), np.float32)) @ Tensor(B_NP, requires_grad=True)).backward))),
    ("numpy operands", lambda: (raises(TypeError, lambda: A + A_NP), raises(TypeError, lambda: A_NP * A),
                                raises(TypeError, lambda: A < A_NP), A == A_NP, A_NP == A, A != A_NP,
                                A + np.float32(2.0), np.float64(2.0) * A, np.array(1.5) < A)),
    ("unsupported operands", lambda: (raises(TypeError, lambda: 2.0 - A), raises(TypeError, lambda: A @ 2.0),
                                      raises(TypeError, lambda: A & True), raises(TypeError, lambda: A < "a"),
                                      raises(TypeError, lambda: 2.0 / A))),
    ("hash", lambda: raises(TypeError, hash, A)),
    # Methods.
    ("reshape", lambda: (A.reshape([4, 3]), A.reshape((12,)), A.reshape(shape=[2, 6]))),
    ("reshape errors", lambda: (raises(ValueError, A.reshape, [5]), raises(TypeError, A.reshape, "34"),
                                raises(OverflowError, A.reshape, [-1, 12]), raises(ValueError, AT.reshape, [12]),
                                raises(TypeError, A.reshape, [1.5]))),
    ("transpose", lambda: (A.transpose(0, 1), A.transpose(dim0=1, dim1=1))),
    ("transpose errors", lambda: (raises(OverflowError, A.transpose, -1, 0), raises(TypeError, A.transpose, 0))),
    ("transpose out of range", lambda: raises((ValueError, RuntimeError, IndexError), A.transpose, 0, 7)),
    ("zeros_like ones_like", lambda: (AT.zeros_like(), BF.ones_like(), M1.ones_like())),
    ("relu", lambda: (relu(A), relu(py_tensor=H), relu(BF))),
    ("relu errors", lambda: (raises(TypeError, relu, M1), raises(TypeError, relu, 2.0), raises(TypeError, relu))),
    # Differentiation.
    ("record and clear", with_grad(lambda: Tensor(A_NP, requires_grad=True) * A)),
    ("backward all ops", with_grad(backward_through_everything)),
    ("backward twice", with_grad(backward_twice)),
    ("backward reshape then transpose", with_grad(backward_reshape_then_transpose)),
    ("backward accumulation of shapes", with_grad(backward_accumulation_of_shapes)),
    ("backward stale root", with_grad(backward_stale_root)),
    ("backward no grad", lambda: raises(ValueError, A.backward)),
    ("grad none", A.grad),
    ("failed ops on tape", with_grad(failed_ops_leave_nodes)),
    ("clear_graph", Tensor.clear_graph),
    ("thread tape", thread_with_its_own_tape),
]


_kept = []


def leaks_an_object():
    _kept.append(object())


def leaks_a_reference():
    x = object()
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(x))


def leaks_heap():
    _libc.malloc(256)


def leaks_a_type_reference():
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(Tensor))


# Each measure must see a known leak, or the check would pass vacuously.
CALIBRATION = [("leaks_an_object", leaks_an_object, 1), ("leaks_heap", leaks_heap, 2),
               ("leaks_a_type_reference", leaks_a_type_reference, 3)]
if hasattr(sys, "gettotalrefcount"):
    CALIBRATION.append(("leaks_a_reference", leaks_a_reference, 0))


def round_growth(fn, calls):
    """(total references, blocks, heap bytes, largest watched count change)
    over `calls` calls of fn."""
    before = snapshot()
    for _ in range(calls):
        fn()
    after = snapshot()
    watched = max((abs(a - b) for a, b in zip(after[3], before[3])), default=0)
    return after[0] - before[0], after[1] - before[1], after[2] - before[2], watched


def growth(fn, repeat):
    """The growth of a round of `repeat` calls and of a round of 3 * `repeat`."""
    for _ in range(WARMUP):
        fn()
    return round_growth(fn, repeat), round_growth(fn, 3 * repeat)


LIMITS = (MAX_REFS, MAX_BLOCKS, MAX_HEAP, MAX_REFS)


def leaked(g, numpy=False):
    """Per measure: does the growth rise with the number of calls?"""
    small, large = g
    flags = [s > limit and l - s > limit and l >= 2 * s for s, l, limit in zip(small, large, LIMITS)]
    if numpy:
        flags[0] = False
    return flags


def measure(name, fn, repeat, numpy):
    g = growth(fn, repeat)
    retried = any(leaked(g, numpy))
    if retried:
        g = growth(fn, repeat)
    bad = any(leaked(g, numpy))
    small, large = g
    refs = "   n/a" if numpy else f"{small[0]:+6d}"
    print(f"{'LEAK' if bad else 'ok':4} {name:28} refs {refs}  watched {small[3]:+5d}  blocks {small[1]:+6d}  "
          f"heap {small[2]:+9d} B  ({repeat} calls; 3x: blocks {large[1]:+6d}, heap {large[2]:+9d} B)"
          f"{'  (measured twice)' if retried else ''}", flush=True)
    return not bad


def train(steps):
    """Resident memory over a small training loop with clear_graph() between steps."""
    x = Tensor(rng.standard_normal((8, 4)).astype(np.float32))
    target = Tensor(rng.standard_normal((8, 3)).astype(np.float32))
    w_np = rng.standard_normal((4, 3)).astype(np.float32) * 0.1
    b_np = np.zeros(3, np.float32)
    checkpoints = {}
    loss0 = None
    for step in range(steps):
        w = Tensor(w_np, requires_grad=True)
        b = Tensor(b_np, requires_grad=True)
        y = relu(x @ w + b)
        d = y - target
        loss = d * d / 8.0
        loss.backward()
        w_np = w_np - 0.01 * w.grad()
        b_np = b_np - 0.01 * b.grad().sum(axis=0)  # b's gradient has the broadcast shape
        if step == 0:
            loss0 = float(loss.to_numpy().sum())
        Tensor.clear_graph()
        if step + 1 in (steps // 10, steps):
            gc.collect()
            if _libc is not None:
                _libc.malloc_trim(0)
            checkpoints[step + 1] = resident_bytes()
    loss1 = float(loss.to_numpy().sum())
    return checkpoints, loss0, loss1


# Operations that create NumPy arrays (construction, export, grad()).
ARRAY_FREE = {
    "properties", "property assignment", "add", "add broadcast", "sub", "mul", "div", "f16 div", "bf16 mul",
    "transposed add", "matmul", "scalar add", "scalar radd", "scalar sub", "scalar mul", "scalar rmul",
    "scalar div", "scalar div zero", "compare tensors", "compare scalars", "not equal", "equal odd", "logical",
    "reflected methods", "reflected method error", "dtype mismatch", "shape mismatch", "bool arithmetic",
    "bool scalar", "compare mismatch", "logical non-bool", "invert non-bool", "matmul rank", "matmul inner",
    "unsupported operands", "hash", "reshape", "reshape errors", "transpose", "transpose errors",
    "transpose out of range", "zeros_like ones_like", "relu", "relu errors", "backward no grad", "grad none",
    "clear_graph", "construct bad device", "construct bad dtype", "construct bad dtype type",
    "construct requires_grad int", "construct device int", "construct no data", "construct unknown keyword",
}


def makes_arrays(name):
    return name not in ARRAY_FREE


def main():
    print(f"interpreter: {sys.executable} (debug counters: {hasattr(sys, 'gettotalrefcount')})")
    print(f"module: {pelor_core.__file__}")
    failures = []
    type_refs = sys.getrefcount(Tensor)
    for name, fn, which in CALIBRATION:
        if _libc is None and which == 2:
            continue
        if not leaked(growth(fn, REPEAT))[which]:
            failures.append(f"calibration: {name} went unnoticed")
    _kept.clear()
    for _ in range(sys.getrefcount(Tensor) - type_refs):  # undo the calibration's type references
        ctypes.pythonapi.Py_DecRef(ctypes.py_object(Tensor))
    start = time.monotonic()
    failures += [name for name, fn in CASES
                 if not measure(name, fn, REPEAT if name != "thread tape" else 100, makes_arrays(name))]
    print(f"{len(CASES)} operations measured in {time.monotonic() - start:.1f} s")

    start = time.monotonic()
    checkpoints, loss0, loss1 = train(TRAIN_STEPS)
    (early, rss_early), (late, rss_late) = sorted(checkpoints.items())
    grew = rss_late - rss_early
    print(f"training: {TRAIN_STEPS} steps in {time.monotonic() - start:.1f} s, loss {loss0:.4f} -> {loss1:.4f}, "
          f"resident {rss_early / 2**20:.1f} MiB at step {early} -> {rss_late / 2**20:.1f} MiB at step {late}")
    if grew > MAX_RSS:
        failures.append(f"training loop: resident memory grew by {grew / 2**20:.1f} MiB")
    if not loss1 < loss0:
        failures.append("training loop: the loss did not decrease")

    if failures:
        print("leak check FAILED: " + ", ".join(failures))
        return 1
    print("leak check: no growth")
    return 0


if __name__ == "__main__":
    sys.exit(main())
