"""Matrix products against NumPy and PyTorch.

cases() returns (name, ours, numpy_or_None, torch_or_None) tuples of
zero-argument callables; bench/run.py times them together with other modules.
Run this file directly for a table of median times, GFLOP/s and ratios
(ours / NumPy and ours / PyTorch time: below 1 means faster), plus the
half-precision products' speed relative to our own float32 product.

The direct loop / BLIS crossover (the small-product limit in
src/engine/cpu/numeric/ops/matmul_kernels.isa.cpp) shows in the square
cases from 16 to 256: below the limit each product is one register-blocked
loop, above it one BLIS call.
"""

import os
import sys

from _peers import ml_dtypes, torch  # first: sets up one BLAS thread for NumPy

import numpy as np

import pelor_core


Tensor = pelor_core.Tensor

# name -> multiply-adds per call, for GFLOP/s (2 flops each)
MACS = {}


def _torch(a, dtype="float32"):
    if torch is None:
        return None
    return torch.from_numpy(np.asarray(a, dtype=np.float32)).to(getattr(torch, dtype))


def _case(name, a_shape, b_shape, rng, dtype="float32", with_numpy=True, transposed=""):
    """transposed names the 2-D operands ("a", "b") given as transposed views
    of row-major arrays, as a gradient product reads them."""
    np_dtype = {"float32": np.float32, "float16": np.float16,
                "bfloat16": ml_dtypes.bfloat16 if ml_dtypes else None}[dtype]

    def operands(shape, which):
        """The NumPy array, our tensor and PyTorch's tensor of one operand."""
        if which not in transposed:
            x = rng.standard_normal(shape, dtype=np.float32)
            return x, Tensor(x.astype(np_dtype), dtype=dtype), _torch(x, dtype)
        stored = rng.standard_normal(shape[::-1], dtype=np.float32)
        x_torch = _torch(stored, dtype)
        return (stored.T, Tensor(stored.astype(np_dtype), dtype=dtype).transpose(0, 1),
                x_torch.t() if x_torch is not None else None)

    (a, ta, xa), (b, tb, xb) = operands(a_shape, "a"), operands(b_shape, "b")
    ours = lambda: ta @ tb  # noqa: E731
    na, nb = a.astype(np_dtype), b.astype(np_dtype)
    numpy_fn = (lambda: na @ nb) if with_numpy else None
    torch_fn = (lambda: xa @ xb) if xa is not None else None
    batch = int(np.prod(np.broadcast_shapes(a_shape[:-2], b_shape[:-2]), dtype=np.int64))
    MACS[name] = batch * a_shape[-2] * a_shape[-1] * b_shape[-1]
    return (name, ours, numpy_fn, torch_fn)


def cases():
    rng = np.random.default_rng(0)
    out = [
        _case("matmul f32 (1024,1024)@(1024,1024)", (1024, 1024), (1024, 1024), rng),
        _case("matmul f32 (64,128,128)@(128,128)", (64, 128, 128), (128, 128), rng),
        _case("matmul f32 (4,4)@(4,4)", (4, 4), (4, 4), rng),
    ]
    for n in (16, 32, 64, 128, 256):
        out.append(_case(f"matmul f32 {n}^3", (n, n), (n, n), rng))
    out.append(_case("matmul f32 (256,256)@(256,1)", (256, 256), (256, 1), rng))
    out.append(_case("matmul f16 (1024,1024)@(1024,1024)", (1024, 1024), (1024, 1024), rng, "float16",
                     with_numpy=False))  # NumPy's float16 matmul has no BLAS path
    if ml_dtypes is not None:
        out.append(_case("matmul bf16 (1024,1024)@(1024,1024)", (1024, 1024), (1024, 1024), rng, "bfloat16",
                         with_numpy=False))
        # The products of an MNIST-sized training step (batch 256, 784 -> 512
        # -> 10): forward, input gradient (W read transposed), weight gradient
        # (x read transposed), the output layer; and a small square one.
        for case_name, a_shape, b_shape, transposed in [
            ("x@W (256,784)@(784,512)", (256, 784), (784, 512), ""),
            ("g@W.T (256,512)@(512,784)", (256, 512), (512, 784), "b"),
            ("x.T@g (784,256)@(256,512)", (784, 256), (256, 512), "a"),
            ("h@V (256,512)@(512,10)", (256, 512), (512, 10), ""),
            ("64^3", (64, 64), (64, 64), ""),
        ]:
            out.append(_case(f"matmul bf16 {case_name}", a_shape, b_shape, rng, "bfloat16", with_numpy=False,
                             transposed=transposed))
    return out


def _fmt(seconds):
    return f"{seconds * 1e6:11.2f} us" if seconds is not None else " " * 14


def main():
    import run  # bench/run.py, beside this file

    print(f"load average: {' '.join(f'{x:.2f}' for x in os.getloadavg())} ({os.cpu_count()} CPUs)")
    if hasattr(pelor_core, "_product_routes"):  # a development build says which route 16-bit products take
        for dtype, route in pelor_core._product_routes().items():
            print(f"{dtype} products: {route}")
    header = f"{'case':38} {'ours':>14} {'GFLOP/s':>8} {'numpy':>14} {'torch':>14} {'torch GF':>8} {'/numpy':>7} {'/torch':>7}"
    print(header)
    times = {}
    for name, ours, np_fn, torch_fn in cases():
        t_ours, t_np, t_torch = run.measure([ours, np_fn, torch_fn], repeat=7, min_time=0.25)
        times[name] = t_ours
        flops = 2 * MACS[name]
        r_np = f"{t_ours / t_np:7.2f}" if t_np else " " * 7
        r_torch = f"{t_ours / t_torch:7.2f}" if t_torch else " " * 7
        gf_torch = f"{flops / t_torch * 1e-9:8.1f}" if t_torch else " " * 8
        print(f"{name:38} {_fmt(t_ours)} {flops / t_ours * 1e-9:8.1f} {_fmt(t_np)} {_fmt(t_torch)} {gf_torch} "
              f"{r_np} {r_torch}")
    f32 = times.get("matmul f32 (1024,1024)@(1024,1024)")
    for half in ("f16", "bf16"):
        t = times.get(f"matmul {half} (1024,1024)@(1024,1024)")
        if f32 and t:
            print(f"{half} 1024^3 speed relative to our f32: {f32 / t:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
