"""Two Python threads computing at once, against NumPy and PyTorch.

Long operations run without the interpreter's lock, so two threads that each
do the same work should finish it in less than twice the time one thread
takes alone. The throughput gain is 2 * (one thread doing the work alone) /
(two threads each doing it), best of 5 for each; 2.0 is perfect scaling,
1.0 none. Every library runs on one thread of its own (PyTorch with one
intra-op thread, NumPy's BLAS with one thread), so the gain comes from the
two Python threads alone.

cases() returns (name, ours, numpy_or_None, torch_or_None) tuples of
zero-argument callables, each running the work on two threads; bench/run.py
times them together with other modules. notes() measures the gains. Run this
file directly for both.
"""

import sys
import threading
import time

from _peers import torch  # first: sets up one BLAS thread for NumPy

import numpy as np

import pelor_core

Tensor = pelor_core.Tensor
ROUNDS = 5

# (name, operand shape, operation, calls per thread)
WORK = [
    ("768x768 f32 products", (768, 768), "matmul", 12),
    ("4M-element f32 additions", (1 << 22,), "add", 30),
]


def _operands(shape):
    rng = np.random.default_rng(0)
    return rng.standard_normal(shape, dtype=np.float32), rng.standard_normal(shape, dtype=np.float32)


def _loops(shape, op, calls):
    """{library: zero-argument callable doing `calls` operations}."""
    a, b = _operands(shape)
    pairs = {"ours": (Tensor(a), Tensor(b)), "numpy": (a, b)}
    if torch is not None:
        pairs["torch"] = (torch.from_numpy(a), torch.from_numpy(b))

    def loop(x, y):
        if op == "matmul":
            def run():
                for _ in range(calls):
                    x @ y
        else:
            def run():
                for _ in range(calls):
                    x + y
        return run

    return {lib: loop(x, y) for lib, (x, y) in pairs.items()}


class _Pair:
    """Two long-lived threads (as a user's worker threads would be): calling
    the pair runs fn on both at once and returns when both are done."""

    def __init__(self, fn):
        self.fn = fn
        self.start = threading.Barrier(3)
        self.done = threading.Barrier(3)
        for _ in range(2):
            threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            self.start.wait()
            self.fn()
            self.done.wait()

    def __call__(self):
        self.start.wait()
        self.done.wait()


def _seconds(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def gains():
    """{work name: {library: (gain, one-thread seconds, two-thread seconds)}}."""
    out = {}
    for name, shape, op, calls in WORK:
        loops = _loops(shape, op, calls)
        pairs = {lib: _Pair(fn) for lib, fn in loops.items()}
        for lib, fn in loops.items():  # warm up
            fn()
            pairs[lib]()
        best = {lib: [float("inf"), float("inf")] for lib in loops}
        for _ in range(ROUNDS):  # libraries in turns, so a change of load touches all alike
            for lib, fn in loops.items():
                best[lib][0] = min(best[lib][0], _seconds(fn))
                best[lib][1] = min(best[lib][1], _seconds(pairs[lib]))
        out[f"{name}, {calls} each"] = {lib: (2 * one / two, one, two) for lib, (one, two) in best.items()}
    return out


def cases():
    out = []
    for name, shape, op, calls in WORK:
        loops = _loops(shape, op, calls)
        two = {lib: _Pair(fn) for lib, fn in loops.items()}
        out.append((f"2 threads x {calls} {name}", two["ours"], two["numpy"], two.get("torch")))
    return out


def notes():
    lines = [f"two-thread throughput gain, best of {ROUNDS} (2.0 = perfect scaling):"]
    for work, by_lib in gains().items():
        cells = ", ".join(f"{lib} {g:.2f}x" for lib, (g, _, _) in by_lib.items())
        peers = [g for lib, (g, _, _) in by_lib.items() if lib != "ours"]
        ratio = f"; ours / best peer {by_lib['ours'][0] / max(peers):.2f}" if peers else ""
        lines.append(f"  {work}: {cells}{ratio}")
    return lines


if __name__ == "__main__":
    import run  # bench/run.py, beside this file: times the cases and prints the table

    sys.exit(run.main(["--module", "threads"] + sys.argv[1:]))
