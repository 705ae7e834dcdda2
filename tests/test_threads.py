"""Many threads at once: each differentiates its own graphs on shared tensors.

The module declares that it does not need the global interpreter lock: tapes
are per thread, tensors and storages are shared without locks. These tests run
several threads that build, differentiate and clear graphs over the same input
tensors and check every thread's gradients against NumPy, and check that a
thread's tape (with the storages its nodes keep) is freed when the thread ends.
"""

import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from hypothesis import settings

import pelor_core
from pelor_core import Tensor

relu = pelor_core.nn.functional.relu

THREADS = 8
# The "long" hypothesis profile (--hypothesis-profile=long) runs ten times more.
ITERATIONS = 150 if settings.default.max_examples <= 100 else 1500

rng = np.random.default_rng(7)
X_NP = rng.standard_normal((4, 3)).astype(np.float32)
W_NP = rng.standard_normal((3, 5)).astype(np.float32)
B_NP = rng.standard_normal(5).astype(np.float32)
S_NP = rng.uniform(0.5, 1.5, (4, 5)).astype(np.float32)


def expected_gradients(s):
    """The graph of `one_step`, differentiated by hand in binary32 from the
    library's own pre-activation `s` (a product's rounding is its own).

    No gradient is reduced over broadcast axes: b (shape (5,)) receives the
    (4, 5) gradient of the sum it was broadcast into.
    """
    h = np.maximum(s, np.float32(0))
    g_z2 = np.ones((4, 5), np.float32)
    g_z = g_z2 * S_NP
    g_q = g_z * (np.float32(1) / np.float32(2.0))
    # The backward pass visits the subtraction before the product h * h, and
    # accumulation keeps the stored gradient on the left.
    g_h = ((-g_z) + g_q * h) + g_q * h
    g_s = np.where(s > 0, g_h, np.float32(0))
    g_w = X_NP.T @ g_s
    return {"z": g_z, "h": g_h, "s": g_s, "b": g_s, "w": g_w}


def one_step(x, s_shared, w_np, b_np):
    """Builds one graph on the shared tensors, differentiates it, returns grads."""
    w = Tensor(w_np, requires_grad=True)
    b = Tensor(b_np, requires_grad=True)
    s = x @ w + b  # x is a shared constant: an implicit leaf on this tape
    h = relu(s)
    z = (h * h) / 2.0 - h
    z2 = z * s_shared  # requires grad, but its id belongs to the main thread
    z2.backward()
    grads = {"z": z.grad(), "h": h.grad(), "s": s.grad(), "b": b.grad(), "w": w.grad()}
    return grads, s_shared.grad(), w, s.to_numpy()


def worker(index, x, s_shared, start, failures, done):
    try:
        start.wait()
        for i in range(ITERATIONS):
            w_np = W_NP + np.float32(0.01 * index + 0.001 * i)
            b_np = B_NP - np.float32(0.02 * index)
            got, shared_grad, w, s = one_step(x, s_shared, w_np, b_np)
            np.testing.assert_allclose(s, X_NP @ w_np + b_np, rtol=1e-5, atol=1e-5)
            want = expected_gradients(s)
            # A tensor recorded on another thread's tape has no gradient here.
            assert shared_grad is None
            for name, g in got.items():
                assert g is not None, name
                assert g.dtype == np.float32 and g.shape == want[name].shape, name
                if name == "w":  # a matrix product: the summation order may differ
                    np.testing.assert_allclose(g, want[name], rtol=1e-5, atol=1e-5, err_msg=name)
                else:
                    np.testing.assert_array_equal(g, want[name], err_msg=name)
            # Clear on some iterations only, so tapes of different lengths
            # are live at once and clears interleave with other passes.
            if i % 3 != 2:
                Tensor.clear_graph()
                assert w.grad() is None
        done[index] = True
    except BaseException as exc:  # reported by the main thread
        failures.append((index, exc))


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # interleave the threads as finely as possible
    yield
    sys.setswitchinterval(old)


# s_shared asked for gradients on the main thread: each worker's pass says so.
@pytest.mark.heavy
@pytest.mark.filterwarnings("ignore:backward.. reached a tensor:RuntimeWarning")
def test_threads_differentiate_shared_inputs(fast_switching):
    x = Tensor(X_NP)
    s_shared = Tensor(S_NP, requires_grad=True)
    start = threading.Barrier(THREADS)
    failures = []
    done = [False] * THREADS
    threads = [
        threading.Thread(target=worker, args=(k, x, s_shared, start, failures, done)) for k in range(THREADS)
    ]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    assert not failures, failures[0]
    assert all(done)
    # The shared tensors are unchanged, and the main thread's tape never saw
    # the workers' nodes: its own leaf has no gradient yet.
    np.testing.assert_array_equal(x.to_numpy(), X_NP)
    assert s_shared.grad() is None
    s_shared.backward()
    np.testing.assert_array_equal(s_shared.grad(), np.ones((4, 5), np.float32))
    Tensor.clear_graph()


def test_tensor_from_another_thread_is_a_constant_here():
    made = {}

    def build():
        x = Tensor([1.0, 2.0], requires_grad=True)
        made["y"] = x * 3.0
        made["y"].backward()
        made["grad"] = x.grad()

    t = threading.Thread(target=build)
    t.start()
    t.join()
    np.testing.assert_array_equal(made["grad"], [3.0, 3.0])
    y = made["y"]
    assert y.requires_grad
    assert y.grad() is None  # its node lived on the other thread's tape
    with pytest.raises(RuntimeError):
        y.backward()
    # Used as an operand here it gets an implicit leaf on this thread's tape.
    z = y * 2.0
    with pytest.warns(RuntimeWarning, match="on another thread"):
        z.backward()
    np.testing.assert_array_equal(z.grad(), [1.0, 1.0])
    assert y.grad() is None
    Tensor.clear_graph()


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator keeps freed memory in quarantine")
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_tape_of_an_ended_thread_releases_its_storages():
    n = 50_000_000  # 200 MB of float32
    ready = threading.Event()
    release = threading.Event()
    errors = []

    def worker():
        try:
            big = Tensor(np.ones(n, np.float32))
            w = Tensor(2.0, requires_grad=True)
            y = big * w  # the product node keeps big's storage on this tape
            del big, y
            ready.set()
            release.wait()
        except BaseException as exc:
            errors.append(exc)
            ready.set()

    Tensor.clear_graph()
    base = resident_bytes()
    t = threading.Thread(target=worker)
    t.start()
    ready.wait()
    held = resident_bytes() - base
    release.set()
    t.join()
    assert not errors, errors[0]
    # Storage is released on the exiting thread; allow it a moment.
    deadline = time.monotonic() + 10
    while resident_bytes() - base > 50e6 and time.monotonic() < deadline:
        time.sleep(0.05)
    after = resident_bytes() - base
    assert held > 150e6, f"the tape should hold the saved 200 MB while the thread lives (held {held / 1e6:.0f} MB)"
    assert after < 50e6, f"{after / 1e6:.0f} MB still resident after the thread ended"


def test_threads_race_for_the_first_bfloat16_lookup():
    # A fresh interpreter: the bfloat16 dtype has not been looked up yet when
    # eight threads need it at the same moment.
    code = """
import threading, ml_dtypes, numpy as np
from pelor_core import Tensor
barrier = threading.Barrier(8)
out, errors = [None] * 8, []
def run(k):
    try:
        barrier.wait()
        t = Tensor([1.0, float(k)], dtype="bf16", requires_grad=True)
        (t * 2.0).backward()
        out[k] = (t.to_numpy().astype(np.float32).tolist(), t.grad().dtype.name)
    except BaseException as exc:
        errors.append(exc)
threads = [threading.Thread(target=run, args=(k,)) for k in range(8)]
for t in threads: t.start()
for t in threads: t.join()
assert not errors, errors
assert out == [([1.0, float(k)], "bfloat16") for k in range(8)], out
print("ok")
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"
