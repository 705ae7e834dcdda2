"""Reshapes, transposes and gradients passed on unchanged share one buffer,
freed by its last holder on any thread; NumPy and PyTorch are the oracles."""

import threading

import numpy as np
import pytest

from pelor_core import Tensor

from grad_oracle import DTYPES, FLOAT_DTYPES, assert_same, cast

SHAPE = (64, 32, 48)  # a block the per-thread cache keeps, in every element type


@pytest.mark.parametrize("dtype", list(DTYPES) + ["bool"])
@pytest.mark.parametrize("seed", range(3))
def test_views_freed_in_any_order_on_any_thread_keep_their_values(dtype, seed):
    rng = np.random.default_rng(seed)
    a = rng.integers(0, 2, SHAPE).astype(bool) if dtype == "bool" else cast(rng.uniform(-8, 8, SHAPE), dtype)
    ones = np.ones(SHAPE, a.dtype)
    held, errors = [], []

    def make():  # on a thread that has ended when the views are freed
        t = Tensor(a, dtype=dtype)
        r = t.reshape([64, 1536])
        held.extend([(r, a.reshape(64, 1536)), (t.transpose(0, 2).transpose(1, 0), a.transpose(1, 2, 0)),
                     (r.transpose(0, 1), a.reshape(64, 1536).T), (r.reshape([8, 12288]).reshape([98304]), a.ravel())])

    def drop(pairs):
        try:
            for i in rng.permutation(len(pairs)):
                pairs[i] = None
                filler = Tensor(ones, dtype=dtype) == Tensor(ones, dtype=dtype)  # reuses a block freed too early
                for p in filter(None, pairs):
                    np.testing.assert_array_equal(p[0].to_numpy(), p[1])
                del filler
        except BaseException as exc:
            errors.append(exc)

    maker = threading.Thread(target=make)
    maker.start()
    maker.join()
    order = rng.permutation(len(held))
    threads = [threading.Thread(target=drop, args=([held[i] for i in half],)) for half in (order[:2], order[2:])]
    held.clear()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors[0]


PASS_THROUGH = {"add": lambda x, c: x + c, "sub": lambda x, c: x - c, "scalar add": lambda x, c: x + 2.5,
                "scalar sub": lambda x, c: x - 2.5, "reshape": lambda x, c: x.reshape([3, 2, 4]),
                "transpose": lambda x, c: x.transpose(0, 1)}


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
@pytest.mark.parametrize("op", PASS_THROUGH)
def test_exported_gradients_are_copies_the_caller_owns(dtype, op):
    torch = pytest.importorskip("torch")
    values = [cast(np.random.default_rng(s).uniform(-4, 4, (4, 6)), dtype) for s in (1, 2)]
    ours = [Tensor(v, dtype=dtype, requires_grad=True) for v in values]
    theirs = [torch.tensor(v.astype(np.float32)).to(getattr(torch, dtype)).requires_grad_() for v in values]
    for ts in (ours, theirs):
        ts.append(PASS_THROUGH[op](*ts))
        ts.append(ts[-1] * ts[-1])
    theirs[2].retain_grad()
    theirs[3].backward(torch.ones_like(theirs[3]))
    ours[3].backward()
    expected = [None if t.grad is None else t.grad.float().numpy().astype(DTYPES[dtype]) for t in theirs[:3]]
    expected.append(np.ones(ours[3].shape, DTYPES[dtype]))
    for _ in range(2):  # the second time after writing into every exported array
        for t, e in zip(ours, expected):
            g = t.grad()
            if e is None:
                assert g is None
                continue
            assert_same(g, e)
            g[...] = 7
