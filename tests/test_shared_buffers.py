"""Reshapes, transposes and gradients passed on unchanged share one buffer.

Whoever releases the last holder frees it, on any thread, in any order, and
buffers of the same size made meanwhile (served from the per-thread cache of
freed blocks) never overwrite one still held. NumPy's reshape and transpose
are the oracles for values; PyTorch gives the gradients.
"""

import threading

import numpy as np
import pytest
import torch

from pelor_core import Tensor

from grad_oracle import DTYPES, FLOAT_DTYPES, assert_same, cast

SHAPE = (64, 32, 48)  # 96K elements: a cached block in every element type


def views(t, a):
    """Pairs (tensor, NumPy oracle) sharing t's buffer, chained several deep."""
    r = t.reshape([64, 1536])
    return [
        (r, a.reshape(64, 1536)),
        (t.transpose(0, 2), a.transpose(2, 1, 0)),
        (t.transpose(0, 2).transpose(1, 0), a.transpose(2, 1, 0).transpose(1, 0, 2)),
        (r.transpose(0, 1), a.reshape(64, 1536).T),
        (r.reshape([3, 8, 4096]).reshape([98304]), a.reshape(-1)),
    ]


@pytest.mark.parametrize("dtype", list(DTYPES) + ["bool"])
@pytest.mark.parametrize("seed", range(3))
def test_views_freed_in_any_order_on_any_thread_keep_their_values(dtype, seed):
    rng = np.random.default_rng(seed)
    a = rng.integers(0, 2, SHAPE).astype(bool) if dtype == "bool" else cast(rng.uniform(-8, 8, SHAPE), dtype)
    held = []
    maker = threading.Thread(target=lambda: held.extend(views(Tensor(a, dtype=dtype), a)))
    maker.start()
    maker.join()  # the thread that made the buffer has ended

    errors = []

    def drop(pairs, order):
        try:
            for i in order:
                pairs[i] = None
                # New buffers of the same size: a block freed too early would be reused here.
                filler = ~Tensor(np.zeros(SHAPE, bool), dtype="bool") if dtype == "bool" else \
                    Tensor(np.zeros(SHAPE, a.dtype), dtype=dtype) + Tensor(np.ones(SHAPE, a.dtype), dtype=dtype)
                for p in pairs:
                    if p is not None:
                        np.testing.assert_array_equal(p[0].to_numpy(), p[1])
                del filler
        except BaseException as exc:
            errors.append(exc)

    order = rng.permutation(len(held))
    halves = [[held[i] for i in order[:2]], [held[i] for i in order[2:]]]
    held.clear()
    threads = [threading.Thread(target=drop, args=(h, rng.permutation(len(h)))) for h in halves]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors[0]


PASS_THROUGH = {
    "add": lambda x, c: x + c,
    "sub": lambda x, c: x - c,
    "scalar add": lambda x, c: x + 2.5,
    "scalar sub": lambda x, c: x - 2.5,
    "reshape": lambda x, c: x.reshape([3, 2, 4]),
    "transpose": lambda x, c: x.transpose(0, 1),
}


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("op", PASS_THROUGH)
def test_exported_gradients_are_copies_the_caller_owns(dtype, op):
    rng = np.random.default_rng(1)
    a, c = cast(rng.uniform(-4, 4, (4, 6)), dtype), cast(rng.uniform(-4, 4, (4, 6)), dtype)
    x, k = (Tensor(v, dtype=dtype, requires_grad=True) for v in (a, c))
    y = PASS_THROUGH[op](x, k)
    z = y * y
    z.backward()

    tx, tk = (torch.tensor(v.astype(np.float32)).to(getattr(torch, dtype)).requires_grad_() for v in (a, c))
    ty = PASS_THROUGH[op](tx, tk)
    ty.retain_grad()
    (ty * ty).backward(torch.ones_like(ty))
    ours = {"x": x, "k": k, "y": y, "z": z}
    theirs = {name: None if t.grad is None else t.grad.float().numpy().astype(DTYPES[dtype])
              for name, t in {"x": tx, "k": tk, "y": ty}.items()}
    theirs["z"] = np.ones(y.shape, DTYPES[dtype])

    for name, t in ours.items():
        g = t.grad()
        if theirs[name] is None:
            assert g is None
            continue
        assert_same(g, theirs[name])
        g[...] = 7  # the caller's own array: nothing else may change
    for name, t in ours.items():
        if theirs[name] is not None:
            assert_same(t.grad(), theirs[name])
