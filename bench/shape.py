"""Reshape and transpose against NumPy and PyTorch.

cases() returns (name, ours, numpy_or_None, torch_or_None) tuples of
zero-argument callables; bench/run.py times them together with other modules.
Run this file directly for a table of median times and ratios.

All three libraries give a new description of the same buffer, so the time
should not depend on the size: 1K, 1M and 16M float32 elements, as square
matrices, transposed (0, 1) and reshaped to one axis.
"""

import sys

from _peers import torch  # first: sets up one BLAS thread for NumPy

import numpy as np

import pelor_core


Tensor = pelor_core.Tensor
SIDES = {"1K": 32, "1M": 1024, "16M": 4096}


def cases():
    out = []
    for label, side in SIDES.items():
        a = np.arange(side * side, dtype=np.float32).reshape(side, side)
        t = Tensor(a)
        x = torch.from_numpy(a) if torch is not None else None
        n = side * side
        out.append((f"transpose f32 {label}", lambda t=t: t.transpose(0, 1), lambda a=a: a.transpose(1, 0),
                    (lambda x=x: x.transpose(0, 1)) if x is not None else None))
        out.append((f"reshape f32 {label}", lambda t=t, n=n: t.reshape([n]), lambda a=a, n=n: a.reshape(n),
                    (lambda x=x, n=n: x.reshape(n)) if x is not None else None))
    return out


if __name__ == "__main__":
    import run  # bench/run.py, beside this file: times the cases and prints the table

    sys.exit(run.main(["--module", "shape"] + sys.argv[1:]))
