"""Shared by the gradient tests: building float tensors in each element type
and comparing gradients bit for bit with a NumPy/ml_dtypes oracle."""

import ml_dtypes
import numpy as np

from pelor_core import Tensor

DTYPES = {"float32": np.float32, "float16": np.float16, "bfloat16": ml_dtypes.bfloat16}
FLOAT_DTYPES = list(DTYPES)


def cast(values, dtype):
    with np.errstate(over="ignore"):  # values past binary16's range become inf
        return np.asarray(values, dtype=np.float32).astype(DTYPES[dtype])


def tensor(values, dtype="float32", requires_grad=False):
    return Tensor(cast(values, dtype), dtype=dtype, requires_grad=requires_grad)


def assert_same(actual, expected):
    """Same dtype and shape; NaN where expected has NaN, identical bits elsewhere."""
    assert actual is not None
    assert actual.dtype == expected.dtype
    assert actual.shape == expected.shape
    a = np.asarray(actual).astype(np.float32)
    e = np.asarray(expected).astype(np.float32)
    np.testing.assert_array_equal(np.isnan(a), np.isnan(e))
    keep = ~np.isnan(e)
    np.testing.assert_array_equal(a[keep].view(np.uint32), e[keep].view(np.uint32))


def round_once(values, dtype):
    """float64 values rounded once, to nearest even, to the element type.
    NumPy converts float64 to float32 and float16 directly; ml_dtypes goes
    through float32, so for bfloat16 the float32 step rounds to odd (an
    inexact result keeps its last bit set), which makes the second rounding
    the only one that counts."""
    x = np.asarray(values, np.float64)
    if dtype != "bfloat16":
        with np.errstate(over="ignore"):
            return x.astype(DTYPES[dtype])
    with np.errstate(over="ignore", invalid="ignore"):
        f = x.astype(np.float32)
        bits = f.view(np.uint32).copy()
        back = f.astype(np.float64)
        inexact = (back != x) & ~np.isnan(x)
        bits -= (inexact & (np.abs(back) > np.abs(x))).astype(np.uint32)
        bits |= inexact.astype(np.uint32)
    return bits.view(np.float32).astype(DTYPES[dtype])
