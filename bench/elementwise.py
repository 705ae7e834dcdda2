"""Element-wise binary operations against NumPy and PyTorch.

cases() returns (name, ours, numpy_or_None, torch_or_None) tuples of
zero-argument callables; bench/run.py times them together with other modules.
Run this file directly for a table of median times and ratios.
"""

import statistics
import sys
import time

import numpy as np

import pelor_core

try:
    import ml_dtypes
except ImportError:  # bfloat16 cases need a NumPy dtype named "bfloat16"
    ml_dtypes = None

try:
    import torch

    torch.set_num_threads(1)
except ImportError:
    torch = None

Tensor = pelor_core.Tensor
N = 1 << 20


def _rng():
    return np.random.default_rng(0)


def _add_case(name, a, b, dtype, np_a, np_b, torch_dtype):
    ta, tb = Tensor(a, dtype=dtype), Tensor(b, dtype=dtype)
    ours = lambda: ta + tb
    theirs_np = (lambda: np_a + np_b) if np_a is not None else None
    theirs_torch = None
    if torch is not None:
        xa = torch.from_numpy(np.asarray(a, dtype=np.float32)).to(torch_dtype)
        xb = torch.from_numpy(np.asarray(b, dtype=np.float32)).to(torch_dtype)
        theirs_torch = lambda: xa + xb
    return (name, ours, theirs_np, theirs_torch)


def _recording(fn, every=4096):
    """fn, with this thread's tape cleared every `every` calls.

    Each call records nodes on the tape; a training step would clear it, and
    an unbounded tape would time the tape's growth instead of the operation.
    """
    count = 0

    def call():
        nonlocal count
        count += 1
        if count == every:
            count = 0
            Tensor.clear_graph()
        return fn()

    return call


def cases():
    rng = _rng()
    a = rng.standard_normal(N, dtype=np.float32)
    b = rng.standard_normal(N, dtype=np.float32)
    out = [_add_case("add f32 1M contiguous", a, b, "float32", a, b, torch and torch.float32)]

    m = rng.standard_normal((1000, 1000), dtype=np.float32)
    v = rng.standard_normal(1000, dtype=np.float32)
    out.append(_add_case("add f32 (1000,1000)+(1000,)", m, v, "float32", m, v, torch and torch.float32))

    out.append(_add_case("add f16 1M contiguous", a, b, "float16", a.astype(np.float16), b.astype(np.float16),
                         torch and torch.float16))
    if ml_dtypes is not None:
        bf = ml_dtypes.bfloat16
        out.append(_add_case("add bf16 1M contiguous", a.astype(bf), b.astype(bf), "bfloat16", a.astype(bf),
                             b.astype(bf), torch and torch.bfloat16))

    s, t = a[:4].copy(), b[:4].copy()
    out.append(_add_case("add f32 4 elements", s, t, "float32", s, t, torch and torch.float32))

    ga, gb = Tensor(s, requires_grad=True), Tensor(t)
    torch_grad = None
    if torch is not None:
        xa = torch.from_numpy(s.copy()).requires_grad_(True)
        xb = torch.from_numpy(t.copy())
        torch_grad = lambda: xa + xb
    out.append(("add f32 4 elements, requires_grad", _recording(lambda: ga + gb), None, torch_grad))
    return out


def _batch_size(fn, budget):
    n = 1
    while True:
        start = time.perf_counter()
        for _ in range(n):
            fn()
        if time.perf_counter() - start >= budget or n >= 1 << 20:
            return n
        n *= 2


def measure(fns, budget=0.02, repeats=15):
    """Median seconds per call of each callable (None stays None).

    The callables are timed in turns, batch after batch, so that a change in
    the machine's load affects all of them alike.
    """
    live = [(i, fn) for i, fn in enumerate(fns) if fn is not None]
    sizes = {i: _batch_size(fn, budget) for i, fn in live}
    samples = {i: [] for i, _ in live}
    for _ in range(repeats):
        for i, fn in live:
            n = sizes[i]
            start = time.perf_counter()
            for _ in range(n):
                fn()
            samples[i].append((time.perf_counter() - start) / n)
        Tensor.clear_graph()
    return [statistics.median(samples[i]) if i in samples else None for i in range(len(fns))]


def _fmt(seconds):
    return f"{seconds * 1e6:10.2f} us" if seconds is not None else " " * 13


def main():
    print(f"{'case':38} {'ours':>13} {'numpy':>13} {'torch':>13} {'/numpy':>7} {'/torch':>7}")
    for name, ours, np_fn, torch_fn in cases():
        t_ours, t_np, t_torch = measure([ours, np_fn, torch_fn])
        r_np = f"{t_ours / t_np:7.2f}" if t_np else " " * 7
        r_torch = f"{t_ours / t_torch:7.2f}" if t_torch else " " * 7
        print(f"{name:38} {_fmt(t_ours)} {_fmt(t_np)} {_fmt(t_torch)} {r_np} {r_torch}")
        Tensor.clear_graph()
    return 0


if __name__ == "__main__":
    sys.exit(main())
