"""Gradients summed back over broadcast axes (a reshape whose output was
stretched) against NumPy's float64 sum rounded once to the element type:
leading, innermost, middle and all axes, gradients in row-major and
column-major layout, runs long enough to cross the vector loops' blocks,
large ranks, and several threads at once."""

import threading

import numpy as np
import pytest

from pelor_core import Tensor

from grad_oracle import FLOAT_DTYPES, assert_same, cast, round_once

# (gradient shape, shape): a tensor is reshaped to `shape` (from that shape
# without its leading ones) and multiplied by an operand of the gradient's
# shape, so its gradient is that operand summed over the axes where `shape`
# has length 1 (leading extra axes are kept).
CASES = [
    ((7, 5), (1, 5)),
    ((7, 5), (7, 1)),
    ((7, 5), (1, 1)),
    ((3, 4, 5), (3, 1, 5)),
    ((2, 7, 5), (7, 1)),
    ((2, 3, 4, 5), (1, 4, 1)),
    ((1100, 3), (1, 3)),
    ((3, 1100), (3, 1)),
    ((37, 41), (1, 1)),
    ((1,) * 40 + (2, 3, 2, 5), (1,) * 38 + (2, 1, 2, 1)),
]
# A large element in each gradient: binary64 sums keep the small ones beside it.
LARGE = {"float32": 2.0**30, "float16": 2.0**14, "bfloat16": 2.0**30}


def own_shape(shape):
    return tuple(np.trim_zeros(np.array(shape) - 1, "f") + 1)


def expected(x, shape, dtype):
    lead = x.ndim - len(shape)
    stretched = tuple(lead + i for i, n in enumerate(shape) if n == 1 and x.shape[lead + i] != 1)
    summed = x.astype(np.float64).sum(axis=stretched, keepdims=True)
    return round_once(summed.reshape(x.shape[:lead] + own_shape(shape)), dtype)


def summed_gradient(x, shape, dtype, column_major):
    b = Tensor(np.zeros(own_shape(shape), np.float32), dtype=dtype, requires_grad=True)
    c = b.reshape(list(shape))
    if column_major:  # the gradient reaches the sum with transposed strides
        last = x.ndim - 1
        xt = Tensor(np.ascontiguousarray(x.swapaxes(-1, -2)), dtype=dtype).transpose(last - 1, last)
        (c * xt).transpose(last - 1, last).backward()
    else:
        (c * Tensor(x, dtype=dtype)).backward()
    grad = b.grad()
    Tensor.clear_graph()
    return grad


@pytest.mark.parametrize("column_major", [False, True])
@pytest.mark.parametrize(("grad_shape", "shape"), CASES)
@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_broadcast_axes_sum_like_numpy(dtype, grad_shape, shape, column_major):
    x = cast(np.random.default_rng(len(grad_shape)).integers(-255, 256, grad_shape) / 8, dtype)
    x.reshape(-1)[0] = LARGE[dtype]
    assert_same(summed_gradient(x, shape, dtype, column_major), expected(x, shape, dtype))


@pytest.mark.parametrize("dtype", FLOAT_DTYPES)
def test_sums_on_several_threads(dtype):
    xs = [cast(np.random.default_rng(i).integers(-255, 256, (64, 300)) / 8, dtype) for i in range(4)]
    got = [None] * len(xs)

    def work(i):
        for _ in range(20):
            got[i] = summed_gradient(xs[i], (64, 1), dtype, i % 2 == 1)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(xs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for x, g in zip(xs, got):
        assert_same(g, expected(x, (64, 1), dtype))
