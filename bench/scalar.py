"""Scalar operations and relu against NumPy and PyTorch.

cases() returns (name, ours, numpy_or_None, torch_or_None) tuples of
zero-argument callables; bench/run.py times them together with other modules.
Run this file directly for a table of median times and ratios.
"""

import sys

from _peers import ml_dtypes, torch  # first: sets up one BLAS thread for NumPy

import numpy as np

import pelor_core


Tensor = pelor_core.Tensor
relu = pelor_core.nn.functional.relu
N = 1 << 20


def _torch(a, name):
    if torch is None:
        return None
    return torch.from_numpy(np.asarray(a, dtype=np.float32)).to(getattr(torch, name))


def cases():
    rng = np.random.default_rng(0)
    x = rng.standard_normal(N, dtype=np.float32)
    out = []

    t = Tensor(x)
    xt = _torch(x, "float32")
    out.append(("t * 2.0 f32 1M", lambda: t * 2.0, lambda: x * 2.0, xt is not None and (lambda: xt * 2.0) or None))
    out.append(("t + 1.0 f32 1M", lambda: t + 1.0, lambda: x + 1.0, xt is not None and (lambda: xt + 1.0) or None))
    out.append(("t < 0.5 f32 1M", lambda: t < 0.5, lambda: x < 0.5, xt is not None and (lambda: xt < 0.5) or None))
    out.append(("relu f32 1M", lambda: relu(t), lambda: np.maximum(x, 0),
                xt is not None and (lambda: torch.relu(xt)) or None))

    h = x.astype(np.float16)
    th = Tensor(h, dtype="float16")
    ht = _torch(x, "float16")
    out.append(("t * 2.0 f16 1M", lambda: th * 2.0, lambda: h * 2.0, ht is not None and (lambda: ht * 2.0) or None))
    out.append(("t < 0.5 f16 1M", lambda: th < 0.5, lambda: h < 0.5, ht is not None and (lambda: ht < 0.5) or None))
    out.append(("relu f16 1M", lambda: relu(th), lambda: np.maximum(h, 0),
                ht is not None and (lambda: torch.relu(ht)) or None))

    if ml_dtypes is not None:
        b = x.astype(ml_dtypes.bfloat16)
        tb = Tensor(b, dtype="bfloat16")
        bt = _torch(x, "bfloat16")
        out.append(("t * 2.0 bf16 1M", lambda: tb * 2.0, None, bt is not None and (lambda: bt * 2.0) or None))
        out.append(("relu bf16 1M", lambda: relu(tb), None, bt is not None and (lambda: torch.relu(bt)) or None))

    s = x[:4].copy()
    ts, st = Tensor(s), _torch(s, "float32")
    out.append(("t * 2.0 f32 4 elements", lambda: ts * 2.0, lambda: s * 2.0,
                st is not None and (lambda: st * 2.0) or None))
    return out


if __name__ == "__main__":
    import run  # bench/run.py, beside this file: times the cases and prints the table

    sys.exit(run.main(["--module", "scalar"] + sys.argv[1:]))
