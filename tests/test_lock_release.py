"""Long operations let other Python threads run; short ones keep the lock.

The switch interval is raised far beyond the test's length, so the
interpreter never takes the global lock away from the main thread: another
thread can run only while the main thread gives the lock up by itself. The
main thread wakes a second thread (which then waits for the lock) and repeats
one operation, touching nothing else that releases the lock, until that thread
has run. A long operation must let it run; a short one must not, however
often it is repeated. Neither outcome depends on timing: a long operation that
kept the lock would leave the other thread waiting until the deadline, and a
short one that released it could at worst go unnoticed.
"""

import sys
import threading
import time

import ml_dtypes
import numpy as np
import pytest

import pelor_core
from pelor_core import Tensor

relu = pelor_core.nn.functional.relu

pytestmark = pytest.mark.skipif(
    not getattr(sys, "_is_gil_enabled", lambda: True)(), reason="needs an interpreter with a global lock"
)

DEADLINE = 60.0  # seconds of repetitions before a long operation counts as holding the lock
SHORT_REPEATS = 2000

rng = np.random.default_rng(15)


def floats(shape, dtype=np.float32):
    return rng.uniform(-2, 2, shape).astype(np.float32).astype(dtype)


def bools(shape):
    return rng.random(shape) < 0.5


@pytest.fixture
def lock_held_until_released():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    yield
    sys.setswitchinterval(old)


class Waiter:
    """A thread blocked on an event; once woken it needs the lock to record
    that it ran."""

    def __init__(self):
        self.wake = threading.Event()
        self.ran = threading.Event()
        self.thread = threading.Thread(target=self.run)
        self.thread.start()  # returns once the thread waits on `wake`

    def run(self):
        self.wake.wait()
        self.ran.set()

    def finish(self):
        self.wake.set()
        self.thread.join(timeout=DEADLINE)
        assert not self.thread.is_alive()


def repeat_until_the_waiter_runs(op, limit):
    """Calls op() until the waiter has run or `limit` (a number of calls or a
    deadline in seconds) is reached; returns whether it ran. Nothing here but
    op() can release the lock: Event.is_set() and the clock do not."""
    waiter = Waiter()
    waiter.wake.set()
    try:
        if isinstance(limit, int):
            for _ in range(limit):
                op()
                if waiter.ran.is_set():
                    break
        else:
            end = time.monotonic() + limit
            while not waiter.ran.is_set() and time.monotonic() < end:
                op()
        return waiter.ran.is_set()
    finally:
        waiter.finish()


def long_operations():
    """(name, zero-argument callable) for operations with large operands;
    everything they need is made beforehand."""
    a, b = floats((512, 512)), floats((512, 512))
    big, row = floats((1024, 1024)), floats(1024)
    big_bf16 = big.astype(ml_dtypes.bfloat16)
    p, q = bools((1024, 1024)), bools(1024)
    strided = floats((2048, 1024))[::2, ::-1]  # neither C- nor Fortran-contiguous
    ta, tb = Tensor(a), Tensor(b)
    th, tbh = Tensor(a, dtype="f16"), Tensor(b, dtype="bf16")
    batch = Tensor(floats((8, 128, 128)))
    # Small operands, long operations: a product of 2M multiply-adds, and a
    # column broadcast against a row into 16M elements.
    square = Tensor(floats((128, 128)))
    column, line = Tensor(floats((4096, 1))), Tensor(floats((1, 4096)))
    tbig, trow = Tensor(big), Tensor(row)
    tbig16 = Tensor(big, dtype="bf16")
    cube = Tensor(floats((64, 128, 128))).transpose(0, 2)  # exported by a reordering copy
    tp, tq = Tensor(p, dtype="bool"), Tensor(q, dtype="bool")
    leaf = Tensor(a, requires_grad=True)
    graph = relu(leaf @ tb + 1.0) * ta  # recorded once; backward() may run again
    graph.backward()
    return [
        ("matmul f32", lambda: ta @ tb),
        ("matmul f16", lambda: th @ th),
        ("matmul bf16", lambda: tbh @ tbh),
        ("matmul batched", lambda: batch @ batch),
        ("matmul of small operands", lambda: square @ square),
        ("add of small operands, broadcast", lambda: column + line),
        ("add broadcast", lambda: tbig + trow),
        ("sub", lambda: tbig - tbig),
        ("mul bf16", lambda: tbig16 * tbig16),
        ("div", lambda: tbig / trow),
        ("scalar add", lambda: tbig + 1.5),
        ("scalar mul, reflected", lambda: 3.0 * tbig16),
        ("scalar div", lambda: tbig / 3.0),
        ("compare", lambda: tbig < trow),
        ("compare with a number", lambda: tbig >= 0.5),
        ("reflected compare", lambda: tbig.__rgt__(0.5)),
        ("and", lambda: tp & tq),
        ("or", lambda: tp | tq),
        ("xor", lambda: tp ^ tp),
        ("not", lambda: ~tp),
        ("relu", lambda: relu(tbig16)),
        ("zeros_like", lambda: tbig.zeros_like()),
        ("ones_like", lambda: tbig16.ones_like()),
        ("backward", lambda: graph.backward()),
        ("grad", lambda: leaf.grad()),
        ("export", lambda: tbig.to_numpy()),
        ("export reordered", lambda: cube.to_numpy()),
        ("import", lambda: Tensor(big)),
        ("import strided", lambda: Tensor(strided)),
        ("import bool", lambda: Tensor(p, dtype="bool")),
        ("import bf16", lambda: Tensor(big_bf16, dtype="bf16")),
        ("import narrowed to f16", lambda: Tensor(big, dtype="f16")),
        ("import narrowed to bf16, strided", lambda: Tensor(strided, dtype="bf16")),
    ]


def short_operations():
    """The same kinds of operation on a few elements."""
    a, b = floats((4,)), floats((2, 2))
    ta, tb = Tensor(a), Tensor(b)
    tp = Tensor(bools(4), dtype="bool")
    leaf = Tensor(b, requires_grad=True)
    graph = relu(leaf @ tb + 1.0) * tb
    graph.backward()
    return [
        ("add", lambda: ta + ta),
        ("scalar mul", lambda: ta * 2.0),
        ("compare", lambda: ta < 0.5),
        ("matmul", lambda: tb @ tb),
        ("and", lambda: tp & tp),
        ("relu", lambda: relu(ta)),
        ("ones_like", lambda: ta.ones_like()),
        ("backward", lambda: graph.backward()),
        ("grad", lambda: leaf.grad()),
        ("export", lambda: ta.to_numpy()),
        ("import", lambda: Tensor(a)),
        ("import narrowed", lambda: Tensor(a, dtype="bf16")),
    ]


# Operands are made afresh in each test: the graphs live on the tape of the
# thread that runs the test, which clears it afterwards.
LONG = [name for name, _ in long_operations()]
SHORT = [name for name, _ in short_operations()]
Tensor.clear_graph()


@pytest.mark.parametrize("name", LONG)
def test_long_operation_lets_another_thread_run(lock_held_until_released, name):
    op = dict(long_operations())[name]
    try:
        assert repeat_until_the_waiter_runs(op, DEADLINE), f"{name} kept the lock for {DEADLINE:.0f} s"
    finally:
        Tensor.clear_graph()


@pytest.mark.parametrize("name", SHORT)
def test_short_operation_keeps_the_lock(lock_held_until_released, name):
    op = dict(short_operations())[name]
    try:
        assert not repeat_until_the_waiter_runs(op, SHORT_REPEATS), f"{name} released the lock"
    finally:
        Tensor.clear_graph()


def test_the_waiter_runs_when_the_lock_is_given_up(lock_held_until_released):
    # The harness itself: a call that is known to release the lock lets the
    # waiter run, so a failure above is the operation's, not the harness's.
    assert repeat_until_the_waiter_runs(lambda: time.sleep(0.001), DEADLINE)
