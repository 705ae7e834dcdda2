"""Construction from NumPy and export back, against NumPy and PyTorch.

cases() returns (name, ours, numpy_or_None, torch_or_None) tuples of
zero-argument callables for bench/run.py. The NumPy peer of both directions
is the copy `numpy.array(x, dtype=...)`, the least any import or export of
owned data costs; the PyTorch peers are `torch.tensor(x)` (a copying
construction) and a copying export (`t.numpy().copy()`). Conversions from
float32 are compared with PyTorch's `.half()` / `.bfloat16()` of the same
array, and a Fortran-ordered import with `torch.from_numpy(F).contiguous()`.

  python3 bench/run.py --module construction
"""

from _peers import ml_dtypes, torch  # first: sets up one BLAS thread for NumPy

import numpy as np

from pelor_core import Tensor


N = 1 << 20


def _torch_dtype(name):
    return {"float32": torch.float32, "float16": torch.float16, "bool": torch.bool}.get(name)


def _construct(label, x, dtype):
    ours = lambda: Tensor(x, dtype=dtype)
    theirs = lambda: np.array(x, dtype=dtype)
    their_torch = None
    if torch is not None and _torch_dtype(dtype) is not None:
        their_torch = lambda: torch.tensor(x)
    return (f"Tensor(x) {label}", ours, theirs, their_torch)


def _export(label, t, x, torch_tensor):
    ours = t.to_numpy
    theirs = lambda: np.array(x, dtype=x.dtype)
    their_torch = (lambda: torch_tensor.numpy().copy()) if torch_tensor is not None else None
    return (f"to_numpy {label}", ours, theirs, their_torch)


def cases():
    rng = np.random.default_rng(0)
    x = rng.standard_normal(N, dtype=np.float32)
    x16 = x.astype(np.float16)
    xb = x > 0
    out = [
        _construct("f32 1M", x, "float32"),
        _construct("f16 1M", x16, "float16"),
        _construct("bool 1M", xb, "bool"),
        # Narrowed while it is imported, as NumPy's cast would round it.
        ("Tensor(x, dtype=f16) from f32 1M", lambda: Tensor(x, dtype="float16"),
         lambda: np.array(x, dtype=np.float16), (lambda: torch.from_numpy(x).half()) if torch else None),
    ]
    if ml_dtypes is not None:
        xbf = x.astype(ml_dtypes.bfloat16)
        out.append(_construct("bf16 1M", xbf, "bfloat16"))
        out.append(("Tensor(x, dtype=bf16) from f32 1M", lambda: Tensor(x, dtype="bfloat16"),
                    lambda: np.array(x, dtype=ml_dtypes.bfloat16),
                    (lambda: torch.from_numpy(x).bfloat16()) if torch else None))

    # A Fortran-ordered source is transposed block by block into row-major order.
    xf = np.asfortranarray(x.reshape(1024, 1024))
    out.append(("Tensor(x) f32 1024x1024 Fortran", lambda: Tensor(xf), lambda: np.array(xf, dtype=np.float32, order="C"),
                (lambda: torch.from_numpy(xf).contiguous()) if torch else None))

    small = x[:4].copy()
    out.append(_construct("f32 4 elements", small, "float32"))
    out.append(("Tensor(list) f32 4 elements", lambda: Tensor([1.0, 2.0, 3.0, 4.0]),
                lambda: np.array([1.0, 2.0, 3.0, 4.0], dtype=np.float32),
                (lambda: torch.tensor([1.0, 2.0, 3.0, 4.0])) if torch else None))
    out.append(("Tensor(x, requires_grad=True) f32 4 elements", lambda: Tensor(small, requires_grad=True),
                lambda: np.array(small, dtype=np.float32),
                (lambda: torch.tensor(small, requires_grad=True)) if torch else None))

    t = Tensor(x)
    out.append(_export("f32 1M", t, x, torch.from_numpy(x) if torch else None))
    out.append(_export("f16 1M", Tensor(x16, dtype="float16"), x16, torch.from_numpy(x16) if torch else None))
    out.append(_export("f32 4 elements", Tensor(small), small, torch.from_numpy(small) if torch else None))

    # Column-major export is one block copy; a 3-D swapped-axes tensor is
    # exported element by element in logical order.
    tt = Tensor(x.reshape(1024, 1024)).transpose(0, 1)
    xt = x.reshape(1024, 1024).T
    out.append(("to_numpy f32 1024x1024 transposed", tt.to_numpy, lambda: np.array(xt, dtype=np.float32),
                (lambda: torch.from_numpy(x.reshape(1024, 1024)).t().numpy().copy()) if torch else None))
    t3 = Tensor(x.reshape(64, 128, 128)).transpose(0, 1)
    x3 = x.reshape(64, 128, 128).swapaxes(0, 1)
    out.append(("to_numpy f32 64x128x128 swapped 0,1", t3.to_numpy, lambda: np.array(x3, dtype=np.float32, order="C"),
                (lambda: torch.from_numpy(x.reshape(64, 128, 128)).transpose(0, 1).contiguous().numpy()) if torch
                else None))
    return out
