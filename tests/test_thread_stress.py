"""Eight threads on shared tensors; also the program that `make test-tsan`
runs under ThreadSanitizer.

Every thread builds its own graphs whose operands are tensors shared by all
threads (each element type, each layout: row-major, transposed, axes swapped
in 3-D, broadcast, 0-d, empty), constructs tensors from NumPy arrays that all
threads read, exports shared tensors, differentiates, and clears its tape in
a loop. Each round's results and gradients must be bit for bit those of a
single-threaded run of the same program. Fresh interpreters check that eight
threads can make the process's first tensor, and its first bfloat16 tensor,
at the same instant.
"""

import subprocess
import sys
import threading

import ml_dtypes
import numpy as np
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
    return shared


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

    return {dtype: {name: raw(v) for name, v in r.items()} for dtype, r in out.items()}


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
    for dtype, s in shared.items():
        if dtype != "mask":
            np.testing.assert_array_equal(s["row"].to_numpy(), ARRAYS[dtype]["row"])
            np.testing.assert_array_equal(s["col"].to_numpy(), ARRAYS[dtype]["col"].T)
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
