"""Reverse-mode differentiation against PyTorch (one thread).

cases() returns (name, ours, numpy_or_None, torch_or_None) tuples of
zero-argument callables; bench/run.py times them together with other modules.
Run this file directly for a table of median times and ratios.

- "mlp step": one training step of a two-layer perceptron, float32: make
  the parameter tensors from their arrays, matmul, bias add, relu, matmul,
  subtract the target, multiply by itself, backward from that, read every
  parameter's gradient as a NumPy array, then drop the graph. Two sizes: batch 64, 64 -> 128 -> 10 (buffers of a few KiB), and
  the size of a first real model, batch 256, 784 -> 512 -> 10 (MNIST-shaped,
  buffers of 0.5 to 1.6 MB). The larger size runs in bf16 too (parameters
  and data rounded to bfloat16; PyTorch's gradients exported as their bits).
- "backward only": the backward pass alone over an already recorded graph of
  tiny tensors, so the time is the per-node overhead of the pass (rules,
  accumulation, publication), not arithmetic.
"""

import resource
import sys

from _peers import ml_dtypes, torch  # first: sets up one BLAS thread for NumPy

import numpy as np

import pelor_core


Tensor = pelor_core.Tensor
relu = pelor_core.nn.functional.relu


def _mlp_data(batch, inputs, hidden, outputs):
    rng = np.random.default_rng(0)
    f32 = np.float32
    return {
        "x": rng.standard_normal((batch, inputs), dtype=f32),
        "t": rng.standard_normal((batch, outputs), dtype=f32),
        "w1": rng.standard_normal((inputs, hidden), dtype=f32) * f32(0.1),
        "b1": np.zeros(hidden, f32),
        "w2": rng.standard_normal((hidden, outputs), dtype=f32) * f32(0.1),
        "b2": np.zeros(outputs, f32),
    }


MLP_SIZES = [(64, 64, 128, 10), (256, 784, 512, 10)]


def _mlp_name(batch, inputs, hidden, outputs, dtype="f32"):
    return f"mlp step {dtype} batch {batch}, {inputs}->{hidden}->{outputs}"


def _bf16_data(d):
    return {k: v.astype(ml_dtypes.bfloat16) for k, v in d.items()}


def _mlp_ours(d, dtype=None):
    x, t = Tensor(d["x"], dtype=dtype), Tensor(d["t"], dtype=dtype)

    def step():
        # Tensors are immutable, so a training loop makes its parameters anew
        # from the updated arrays in every step (the graph of the last step,
        # and so its tensors' place on the tape, is gone after clear_graph()).
        params = [Tensor(d[k], dtype=dtype, requires_grad=True) for k in ("w1", "b1", "w2", "b2")]
        w1, b1, w2, b2 = params
        diff = relu(x @ w1 + b1) @ w2 + b2 - t
        (diff * diff).backward()
        grads = [p.grad() for p in params]
        Tensor.clear_graph()
        return grads

    return step


def _mlp_torch(d, dtype=None):
    def tensor(a):
        return torch.from_numpy(a.copy()) if dtype is None else torch.from_numpy(a.astype(np.float32)).to(dtype)

    x, t = tensor(d["x"]), tensor(d["t"])
    params = [tensor(d[k]).requires_grad_(True) for k in ("w1", "b1", "w2", "b2")]
    w1, b1, w2, b2 = params
    export = (lambda g: g.numpy()) if dtype is None else (lambda g: g.view(torch.int16).numpy())

    def step():
        diff = torch.relu(x @ w1 + b1) @ w2 + b2 - t
        loss = diff * diff
        loss.backward(torch.ones_like(loss))
        grads = [export(p.grad) for p in params]
        for p in params:
            p.grad = None
        return grads

    return step


# A chain of `length` nodes on 4-element tensors: mul, add, scalar mul, sub in
# turn, each using the previous result and one leaf.
def _chain(start, other, length):
    y = start
    for i in range(length):
        k = i % 4
        if k == 0:
            y = y * other
        elif k == 1:
            y = y + other
        elif k == 2:
            y = y * 0.5
        else:
            y = y - other
    return y


def _backward_ours(length):
    state = {}

    def build():
        a = Tensor(np.ones(4, np.float32), requires_grad=True)
        b = Tensor(np.full(4, 2.0, np.float32), requires_grad=True)
        state["root"] = _chain(a, b, length)

    def run():
        # A caller's clear_graph() between samples leaves the root stale.
        try:
            state["root"].backward()
        except (KeyError, RuntimeError):
            build()
            state["root"].backward()

    return run


def _backward_torch(length):
    a = torch.ones(4, requires_grad=True)
    b = torch.full((4,), 2.0, requires_grad=True)
    root = _chain(a, b, length)
    seed = torch.ones_like(root)

    def run():
        root.backward(seed, retain_graph=True)
        a.grad = None
        b.grad = None

    return run


def _record_and_backward_ours(length):
    def run():
        a = Tensor(np.ones(4, np.float32), requires_grad=True)
        b = Tensor(np.full(4, 2.0, np.float32), requires_grad=True)
        _chain(a, b, length).backward()
        Tensor.clear_graph()

    return run


def _record_and_backward_torch(length):
    def run():
        a = torch.ones(4, requires_grad=True)
        b = torch.full((4,), 2.0, requires_grad=True)
        root = _chain(a, b, length)
        root.backward(torch.ones_like(root))

    return run


def cases():
    out = []
    for size in MLP_SIZES:
        d = _mlp_data(*size)
        out.append((_mlp_name(*size), _mlp_ours(d), None, _mlp_torch(d) if torch else None))
    if ml_dtypes is not None:
        d = _bf16_data(_mlp_data(*MLP_SIZES[-1]))
        out.append((_mlp_name(*MLP_SIZES[-1], "bf16"), _mlp_ours(d, "bfloat16"), None,
                    _mlp_torch(d, torch.bfloat16) if torch else None))
    for length in (1, 16):
        out.append((f"backward only, {length}-node chain, 4 elems", _backward_ours(length), None,
                    _backward_torch(length) if torch else None))
    out.append(("record + backward, 16-node chain, 4 elems", _record_and_backward_ours(16), None,
                _record_and_backward_torch(16) if torch else None))
    return out


def _minor_faults_per_call(fn, calls=50):
    fn()
    fn()  # steady state: first-use costs and caches are not counted
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(calls):
        fn()
    return (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / calls


def notes():
    """Lines printed under the table: minor page faults per steady-state
    training step, where memory that goes back to the system between steps
    shows up (a loop of one operation does not show it)."""
    lines = []
    for size in MLP_SIZES:
        d = _mlp_data(*size)
        peers = [("ours", _mlp_ours(d))] + ([("torch", _mlp_torch(d))] if torch else [])
        faults = ", ".join(f"{who} {_minor_faults_per_call(fn):.1f}" for who, fn in peers)
        lines.append(f"minor page faults per step, {_mlp_name(*size)}: {faults}")
    return lines


if __name__ == "__main__":
    import run  # bench/run.py, beside this file: times the cases and prints the table

    sys.exit(run.main(["--module", "autograd"] + sys.argv[1:]))
