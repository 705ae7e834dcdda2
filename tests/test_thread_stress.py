"""Eight threads on shared tensors; also the program that `make test-tsan`
runs under ThreadSanitizer.

Every thread builds its own graphs whose operands are tensors shared by all
threads (each element type, each layout: row-major, transposed, axes swapped
in 3-D, broadcast, 0-d, empty), constructs tensors from NumPy arrays that all
threads read, exports shared tensors, differentiates, and clears its tape in
a loop. Half of each round works on operands large enough that the
operations run detached from the interpreter, so kernels of different
threads run at the same time on the same operands. Each round's results and
gradients must be bit for bit those of a single-threaded run of the same
program. Fresh interpreters check that eight threads can make the process's
first tensor, and its first bfloat16 tensor, at the same instant.
"""

import subprocess
import sys
import threading

import ml_dtypes
import numpy as np
import pytest
from hypothesis import settings

import pelor_core
from pelor_core import Tensor

relu = pelor_core.nn.functional.relu

THREADS = 8
# The "long" hypothesis profile runs ten times more.
ROUNDS = 25 if settings.default.max_examples <= 100 else 250
FLOATS = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}

rng = np.random.default_rng(2024)


def sample(shape, dtype):
    return rng.uniform(-2, 2, shape).astype(np.float32).astype(FLOATS[dtype])


# NumPy arrays every thread reads, and tensors every thread uses as operands.
ARRAYS = {
    dtype: {
        "row": sample((3, 4), dtype),
        "col": sample((4, 3), dtype),  # shared transposed: strides [1, 3]
        "cube": sample((3, 2, 4), dtype),  # shared with axes 0 and 1 swapped
        "vector": sample((4,), dtype),
        "scalar": sample((), dtype),
        "v": sample((3, 4), dtype),
        "w": [sample((4, 4), dtype) for _ in range(THREADS)],  # one per thread
    }
    for dtype in FLOATS
}
MASK = rng.random((3, 4)) < 0.5

# Operands of the long operations: far more elements than an operation needs
# before it releases the interpreter's lock.
ROWS, COLS = 256, 384
F32_ARRAYS = {  # imported into every element type, narrowed for f16 and bf16
    "big": rng.uniform(-2, 2, (ROWS, COLS)).astype(np.float32),
    "wide": rng.uniform(-2, 2, (COLS, 2 * ROWS)).astype(np.float32)[:, ::2],  # strided source
    "w": [rng.uniform(-1, 1, (COLS, ROWS)).astype(np.float32) for _ in range(THREADS)],  # one per thread
}
ARRAYS_BIG = {dtype: F32_ARRAYS["big"].astype(FLOATS[dtype]) for dtype in FLOATS}
BIG_MASKS = rng.random((2, ROWS, COLS)) < 0.5


def shared_tensors():
    shared = {}
    for dtype, a in ARRAYS.items():
        shared[dtype] = {
            "row": Tensor(a["row"], dtype=dtype),
            "col": Tensor(a["col"], dtype=dtype).transpose(0, 1),
            "cube": Tensor(a["cube"], dtype=dtype).transpose(0, 1),
            "vector": Tensor(a["vector"], dtype=dtype),
            "scalar": Tensor(a["scalar"], dtype=dtype),
            "empty": Tensor(np.zeros((3, 0), FLOATS[dtype]), dtype=dtype),
            # Recorded on the main thread's tape: a constant everywhere else.
            "tracked": Tensor(a["row"], dtype=dtype, requires_grad=True),
        }
    shared["mask"] = Tensor(MASK, dtype="bool")
    for dtype in FLOATS:
        shared[dtype]["big"] = Tensor(F32_ARRAYS["big"], dtype=dtype)
        shared[dtype]["big_t"] = Tensor(F32_ARRAYS["big"].T.copy(), dtype=dtype).transpose(0, 1)
        shared[dtype]["wide"] = Tensor(F32_ARRAYS["wide"], dtype=dtype)
    shared["big_masks"] = [Tensor(m, dtype="bool") for m in BIG_MASKS]
    return shared


def long_operations(shared, dtype, k):
    """Thread k's long operations in one element type, on shared operands."""
    s = shared[dtype]
    big, big_t, wide = s["big"], s["big_t"], s["wide"]
    p, q = shared["big_masks"]
    # Imports from arrays every thread reads: float32 narrowed to the element
    # type, a strided source, and the element type's own array.
    w = Tensor(F32_ARRAYS["w"][k], dtype=dtype, requires_grad=True)
    imported = Tensor(F32_ARRAYS["wide"], dtype=dtype)
    native = Tensor(ARRAYS_BIG[dtype], dtype=dtype)
    h = relu(big @ w - 0.5)  # (ROWS, ROWS)
    z = (h @ wide.transpose(0, 1)) * big_t / 4.0 + big  # (ROWS, COLS)
    loss = z * big
    loss.backward()
    return {
        "loss": loss.to_numpy(),
        "w": w.grad(),
        "h": h.grad(),
        "z": z.grad(),
        "imported": imported.to_numpy(),
        "native": native.to_numpy(),
        "cmp": ((big > big_t) & p | ~(big <= 0.25) ^ q).to_numpy(),
        "equal": (big == native).to_numpy(),
        "fills": [big.ones_like().to_numpy(), big_t.zeros_like().to_numpy()],
        "exports": [big_t.to_numpy(), wide.transpose(0, 1).to_numpy()],
    }


def program(shared, k):
    """One round for thread k: every result and gradient as bytes."""
    out = {}
    for dtype, a in ARRAYS.items():
        s = shared[dtype]
        w = Tensor(a["w"][k], dtype=dtype, requires_grad=True)
        v = Tensor(a["v"], dtype=dtype, requires_grad=True)  # from an array all threads read
        # (Broadcast operands are constants: a gradient keeps the broadcast
        # shape, which relu's rule would refuse.)
        h = relu(s["row"] @ w + s["vector"])
        z = (h * s["col"] - s["row"] / 2.0) * v + s["scalar"]
        q = z @ s["col"].transpose(0, 1) + s["empty"] @ s["empty"].transpose(0, 1)
        loss = q * 0.25 + s["tracked"] @ s["col"].transpose(0, 1)
        loss.backward()
        out[dtype + " long"] = long_operations(shared, dtype, k)
        out[dtype] = {
            "loss": loss.to_numpy(),
            "w": w.grad(),
            "v": v.grad(),
            "h": h.grad(),
            "z": z.grad(),
            "tracked": s["tracked"].grad(),  # another thread's node: None here
            "cmp": ((s["row"] > s["col"]) & shared["mask"] | ~(s["row"] <= 0.5)).to_numpy(),
            "cube": (s["cube"] * 2.0 - s["row"] / s["cube"]).to_numpy(),
            "equal": (s["cube"] == s["row"]).to_numpy(),
            "fills": [s["cube"].ones_like().to_numpy(), s["col"].zeros_like().to_numpy()],
            "batched": (s["cube"] @ s["col"].transpose(0, 1)).to_numpy(),
            "exports": [s[name].to_numpy() for name in ("row", "col", "cube", "vector", "scalar", "empty")],
        }
    def raw(v):
        if v is None:
            return None
        if isinstance(v, list):
            return [raw(x) for x in v]
        return (v.dtype.str, v.shape, v.tobytes())

    return {key: {name: raw(v) for name, v in r.items()} for key, r in out.items()}


# "tracked" asked for gradients on the main thread: each worker's pass says so.
@pytest.mark.heavy
@pytest.mark.filterwarnings("ignore:backward.. reached a tensor:RuntimeWarning")
def test_threads_match_a_single_threaded_run():
    shared = shared_tensors()
    # The reference, one thread at a time; only the main thread's tape holds
    # the tracked tensors' nodes, so clear the rest of it between rounds.
    expected = []
    for k in range(THREADS):
        expected.append(program(shared, k))
    for dtype in FLOATS:
        assert expected[0][dtype]["tracked"] is not None  # on this thread its node is live
    Tensor.clear_graph()
    shared = shared_tensors()

    start = threading.Barrier(THREADS)
    failures = []
    done = [0] * THREADS

    def worker(k):
        try:
            start.wait()
            for i in range(ROUNDS):
                got = program(shared, k)
                for dtype in FLOATS:
                    assert got[dtype]["tracked"] is None
                    got[dtype]["tracked"] = expected[k][dtype]["tracked"]
                assert got == expected[k], f"thread {k} round {i}"
                if i % 3 != 2:  # tapes of different lengths stay alive at once
                    Tensor.clear_graph()
                done[k] += 1
        except BaseException as exc:
            failures.append((k, exc))

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=600)
    finally:
        sys.setswitchinterval(old)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    assert not failures, failures[0]
    assert done == [ROUNDS] * THREADS
    # The shared arrays and tensors are unchanged.
    for dtype in FLOATS:
        s = shared[dtype]
        np.testing.assert_array_equal(s["row"].to_numpy(), ARRAYS[dtype]["row"])
        np.testing.assert_array_equal(s["col"].to_numpy(), ARRAYS[dtype]["col"].T)
        np.testing.assert_array_equal(s["big"].to_numpy(), F32_ARRAYS["big"].astype(FLOATS[dtype]))
    np.testing.assert_array_equal(np.stack([m.to_numpy() for m in shared["big_masks"]]), BIG_MASKS)
    Tensor.clear_graph()


FIRST_USE = """
import sys, threading
import numpy as np
import ml_dtypes
from pelor_core import Tensor
# NumPy is loaded, but no tensor has been made: its C API and the bfloat16
# dtype are looked up by whichever threads get there first.
data = np.arange(6, dtype=np.float32).reshape(2, 3)
barrier = threading.Barrier(8)
results, errors = [None] * 8, []
def run(k):
    try:
        barrier.wait()
        dtype = "bf16" if k % 2 else "f32"
        t = Tensor(data, dtype=dtype, requires_grad=True)
        (t * 2.0).backward()
        results[k] = (t.to_numpy().astype(np.float32).tolist(), t.grad().dtype.name)
    except BaseException as exc:
        errors.append(exc)
threads = [threading.Thread(target=run, args=(k,)) for k in range(8)]
for t in threads: t.start()
for t in threads: t.join()
assert not errors, errors
want = data.tolist()
assert results == [(want, "bfloat16" if k % 2 else "float32") for k in range(8)], results
print("ok")
"""


def test_first_tensors_of_a_process_made_by_eight_threads_at_once():
    for _ in range(3):  # fresh interpreters: the race is at first use only
        done = subprocess.run([sys.executable, "-c", FIRST_USE], capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr[-4000:]
        assert done.stdout.strip() == "ok"
