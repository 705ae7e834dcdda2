#!/usr/bin/env python3
"""A short tour of pelor_core: tensors of each element type built from NumPy
data, their properties, a few operations, the round trip back to NumPy, and
one gradient.

  python3 examples/demo.py
"""

import numpy as np

import pelor_core
from pelor_core import Tensor

try:
    import ml_dtypes  # registers the NumPy dtype "bfloat16"
except ImportError:
    ml_dtypes = None

relu = pelor_core.nn.functional.relu


def describe(label, t):
    print(f"{label:>10}: dtype={t.dtype:<4} shape={t.shape} strides={t.strides} ndim={t.ndim} "
          f"device={t.device} requires_grad={t.requires_grad}")


def main():
    data = np.array([[1.5, -2.0, 0.25], [3.0, 0.0, -0.5]], dtype=np.float32)
    print("NumPy data:\n", data, "\n")

    print("One tensor per element type:")
    tensors = {"f32": Tensor(data), "f16": Tensor(data, dtype="f16"), "bool": Tensor(data > 0, dtype="bool")}
    if ml_dtypes is not None:
        tensors["bf16"] = Tensor(data, dtype="bf16")
    else:
        print("  (bf16 skipped: install ml_dtypes for a NumPy 'bfloat16' dtype)")
    for name, t in tensors.items():
        describe(name, t)

    print("\nRound trips (to_numpy returns a new array of the matching NumPy dtype):")
    for name, t in tensors.items():
        back = t.to_numpy()
        same = np.array_equal(back.astype(np.float32), np.array(data if name != "bool" else data > 0, np.float32))
        print(f"{name:>10}: {back.dtype!s:<8} equal to the source: {same}")

    x = tensors["f32"]
    print("\nOperations (each returns a new tensor):")
    print("  x * 2.0 + 1.0        ->", (x * 2.0 + 1.0).to_numpy().tolist())
    print("  x + [10, 20, 30]     ->", (x + Tensor([10.0, 20.0, 30.0])).to_numpy().tolist(), "(broadcast)")
    print("  x > 0.0              ->", (x > 0.0).to_numpy().tolist())
    print("  relu(x)              ->", relu(x).to_numpy().tolist())
    t = x.transpose(0, 1)
    print("  x.transpose(0, 1)    -> shape", t.shape, "strides", t.strides)
    print("  x.reshape([3, 2])    ->", x.reshape([3, 2]).to_numpy().tolist())
    print("  x @ x.transpose(0,1) ->", (x @ t).to_numpy().tolist())

    h = tensors["f16"]
    print("\nHalf precision rounds every result to its own type:")
    print("  f16 60000 + 10000    ->", (Tensor([60000.0], dtype="f16") + 10000.0).to_numpy().tolist())
    print("  f16 x / 3.0          ->", (h / 3.0).to_numpy().tolist())

    print("\nGradients:")
    w = Tensor(data, requires_grad=True)
    y = relu(w * w - 1.0)
    y.backward()
    print("  w = data, y = relu(w * w - 1), y.backward()")
    print("  w.grad() ->", w.grad().tolist())
    print("  (2 * w where w * w > 1, else 0)")
    Tensor.clear_graph()


if __name__ == "__main__":
    main()
