"""Gradients summed back over broadcast axes, against NumPy's sum and PyTorch.

cases() returns (name, ours, numpy_or_None, torch_or_None) tuples of
zero-argument callables for bench/run.py. Ours is the whole backward pass
that reaches the sum: a bias `b` reshaped to (1, n) (or (m, 1)) and added to
x of shape (m, n), differentiated, the summed gradient read with grad(). The
reshape's backward rule sums the (m, n) gradient down to b's shape. NumPy's
peer is the sum alone over the same axis, in float64 rounded to float32 as
ours is ("np f64") or plain float32 ("np"); PyTorch's is the same backward
pass, whose addition sums its broadcast gradient. The "no sum" rows time the
same pass with b added without the reshape (its gradient stays (m, n), and is
not read), so the difference is the sum's cost with the export of its n
elements.

  python3 bench/run.py --module gradient_sums
"""

import sys

from _peers import torch  # first: sets up one BLAS thread for NumPy

import numpy as np

from pelor_core import Tensor


SIZES = [(256, 512), (1024, 1024), (4096, 1024)]


def _ours(x, b_np, view_shape, read=True):
    def step():
        b = Tensor(b_np, requires_grad=True)
        (x + (b.reshape(view_shape) if view_shape else b)).backward()
        g = b.grad() if read else None
        Tensor.clear_graph()
        return g

    return step


def _torch(x_np, view_shape):
    x = torch.from_numpy(x_np)
    b = torch.zeros(view_shape, requires_grad=True)

    def step():
        y = x + b
        y.backward(torch.ones_like(y))
        g = b.grad.numpy()
        b.grad = None
        return g

    return step


def cases():
    out = []
    for m, n in SIZES:
        x_np = np.random.default_rng(0).standard_normal((m, n), dtype=np.float32)
        x = Tensor(x_np)
        g = np.ones((m, n), np.float32)
        for axis, view_shape in ((0, [1, n]), (1, [m, 1])):
            b_np = np.zeros(view_shape[1 - axis], np.float32)
            name = f"sum ({m}, {n}) to {tuple(view_shape)}"
            ours = _ours(x, b_np, view_shape)
            peer = torch and _torch(x_np, view_shape)
            wide = lambda g=g, a=axis: np.sum(g, axis=a, dtype=np.float64).astype(np.float32)
            out.append((f"{name} vs np f64", ours, wide, peer))
            out.append((f"{name} vs np", ours, lambda g=g, a=axis: np.sum(g, axis=a), None))
        out.append((f"no sum ({m}, {n})", _ours(x, np.zeros(n, np.float32), None, read=False), None, None))
    return out


if __name__ == "__main__":
    import run  # bench/run.py, beside this file: times the cases and prints the table

    sys.exit(run.main(["--module", "gradient_sums"] + sys.argv[1:]))
