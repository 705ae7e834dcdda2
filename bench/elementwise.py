"""Element-wise binary operations against NumPy and PyTorch.

cases() returns (name, ours, numpy_or_None, torch_or_None) tuples of
zero-argument callables; bench/run.py times them together with other modules.
Run this file directly for a table of median times and ratios.
"""

import sys

from _peers import ml_dtypes, torch  # first: sets up one BLAS thread for NumPy

import numpy as np

import pelor_core


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


if __name__ == "__main__":
    import run  # bench/run.py, beside this file: times the cases and prints the table

    sys.exit(run.main(["--module", "elementwise"] + sys.argv[1:]))
