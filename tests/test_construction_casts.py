"""Construction of float16 and bfloat16 tensors from float32 arrays: the
result, the warnings and the errors are those of numpy.array(x, dtype=...),
whose float16 cast is NumPy's and whose bfloat16 cast is ml_dtypes'. Bits are
compared exactly, NaNs included."""

import warnings

import ml_dtypes
import numpy as np
import pytest

from pelor_core import Tensor

from narrowing_values import bf16_boundaries, f16_boundaries, special_float32

TARGETS = {"f16": np.dtype(np.float16), "bf16": np.dtype(ml_dtypes.bfloat16)}
BOUNDARIES = {"f16": f16_boundaries, "bf16": bf16_boundaries}


def outcome(fn):
    """(result bits or None, exception type and text or None, warnings seen)."""
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        try:
            out = fn()
        except Exception as e:  # noqa: BLE001 - NumPy's error is the expectation
            return None, (type(e), str(e)), [(w.category, str(w.message)) for w in seen]
    return np.ascontiguousarray(out).view(np.uint16), None, [(w.category, str(w.message)) for w in seen]


def assert_same_outcome(x, dtype):
    want = outcome(lambda: np.array(x, dtype=TARGETS[dtype]))
    got = outcome(lambda: Tensor(x, dtype=dtype).to_numpy())
    if want[0] is None or got[0] is None:
        assert got == want
        return
    assert got[1:] == want[1:]
    assert got[0].shape == want[0].shape
    bad = np.flatnonzero(got[0] != want[0])
    assert bad.size == 0, (
        f"{bad.size} elements differ; first: {np.asarray(x).flat[bad[0]]!r} "
        f"gave {int(got[0].flat[bad[0]]):#06x}, want {int(want[0].flat[bad[0]]):#06x}"
    )


def signed(values):
    values = np.asarray(values, np.float32)
    return np.concatenate([values, -values])


# ------------------------------------------------------------------ values


@pytest.mark.parametrize("dtype", list(TARGETS))
def test_every_rounding_boundary_and_special_value(dtype):
    values = signed(np.concatenate([BOUNDARIES[dtype](), special_float32()]))
    with np.errstate(all="ignore"):
        assert_same_outcome(values, dtype)


@pytest.mark.parametrize("dtype", list(TARGETS))
def test_random_float32_bit_patterns(dtype):
    rng = np.random.default_rng(2026)
    bits = rng.integers(0, 1 << 32, 1 << 22, dtype=np.uint64).astype(np.uint32)
    with np.errstate(all="ignore"):
        assert_same_outcome(bits.view(np.float32), dtype)


@pytest.mark.parametrize("dtype", list(TARGETS))
def test_random_values_of_every_magnitude(dtype):
    # Mostly ordinary values, so whole vectors take the fast route, at scales
    # from far below the smallest subnormal to beyond the largest finite value.
    rng = np.random.default_rng(17)
    x = rng.standard_normal(1 << 20).astype(np.float32)
    x *= np.float32(2.0) ** rng.integers(-40, 40, x.size).astype(np.float32)
    with np.errstate(all="ignore"):
        assert_same_outcome(x, dtype)


@pytest.mark.parametrize("dtype", list(TARGETS))
def test_each_special_value_at_each_lane(dtype):
    # Blocks of 64 ordinary values with one special value at every position:
    # a vector holding one unusual lane must treat that lane exactly.
    specials = signed(np.concatenate([special_float32()[-60:], BOUNDARIES[dtype]()[::4099]]))
    blocks = np.tile(np.linspace(0.5, 3.0, 64, dtype=np.float32), (specials.size, 64, 1))
    blocks[np.arange(specials.size)[:, None], np.arange(64)[None, :], np.arange(64)[None, :]] = specials[:, None]
    with np.errstate(all="ignore"):
        assert_same_outcome(blocks.reshape(-1), dtype)


@pytest.mark.parametrize("dtype", list(TARGETS))
@pytest.mark.parametrize("n", [0, 1, 7, 15, 16, 17, 31, 33, 63, 65, 100])
def test_lengths_around_the_vector_width(dtype, n):
    values = signed(special_float32())[: 4 * n].reshape(4, n) if n else np.zeros((4, 0), np.float32)
    with np.errstate(all="ignore"):
        for row in values:
            assert_same_outcome(row.copy(), dtype)


# -------------------------------------------------------- warnings and errors


def bits(*patterns):
    return np.array(patterns, np.uint32).view(np.float32)


# One representative of each kind of value, among ordinary ones.
KINDS = {
    "ordinary": bits(0x3F800000, 0xC0490FDB),
    "f16-overflow": bits(0x477FF000, 0xC7800000),
    "f16-largest": bits(0x477FEFFF),
    "infinity": bits(0x7F800000, 0xFF800000),
    "quiet-nan": bits(0x7FC00000, 0xFFC00001),
    "signalling-nan": bits(0x7F800001, 0xFFA00000),
    "f16-subnormal-exact": bits(0x33800000, 0x38000000, 0x387FC000),
    "f16-subnormal-inexact": bits(0x387FF001, 0x387FE001, 0x33000001, 0xB3000000),
    "f16-flushed-to-zero": bits(0x00000001, 0x2F000000),
    "zeros": bits(0x00000000, 0x80000000),
    "bf16-overflow": bits(0x7F7F8000, 0x7F7FFFFF),
    "f32-subnormal": bits(0x00400000, 0x807FFFFF),
}
ERRSTATES = [
    {},
    {"all": "warn"},
    {"all": "raise"},
    {"over": "raise", "under": "ignore"},
    {"under": "warn"},
    {"invalid": "raise"},
    {"all": "ignore"},
]


@pytest.mark.parametrize("dtype", list(TARGETS))
@pytest.mark.parametrize("kind", list(KINDS))
@pytest.mark.parametrize("errstate", ERRSTATES, ids=lambda e: ",".join(f"{k}={v}" for k, v in e.items()) or "default")
def test_warnings_and_errors_are_numpys(dtype, kind, errstate):
    for value in KINDS[kind]:
        x = np.concatenate([np.linspace(-2, 2, 40, dtype=np.float32), [value], np.ones(40, np.float32)])
        with np.errstate(**errstate):
            assert_same_outcome(x, dtype)


@pytest.mark.parametrize("dtype", list(TARGETS))
def test_warning_turned_into_an_error_propagates(dtype):
    x = np.concatenate([np.ones(20, np.float32), KINDS["f16-overflow"], KINDS["signalling-nan"]])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning) as want:
            np.array(x, dtype=TARGETS[dtype])
        with pytest.raises(RuntimeWarning) as got:
            Tensor(x, dtype=dtype, requires_grad=True)
    assert str(got.value) == str(want.value)


# --------------------------------------------------------------- layouts


LAYOUTS = {
    "fortran": np.asfortranarray,
    "fortran-wide": lambda a: np.asfortranarray(np.tile(a, (1, 15))),
    "transposed": lambda a: a.T,
    "reversed": lambda a: a[::-1, ::-1],
    "sliced": lambda a: a[1::3, ::2],
    "column": lambda a: a[:, 5],
    "broadcast": lambda a: np.broadcast_to(a[:1], a.shape),
    "3d-permuted": lambda a: a.reshape(6, 11, 40).transpose(2, 0, 1),
}


@pytest.mark.parametrize("dtype", list(TARGETS))
@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_strided_sources_convert_in_logical_order(dtype, layout):
    values = signed(special_float32())[:2640].reshape(66, 40)
    view = LAYOUTS[layout](values)
    with np.errstate(all="ignore"):
        t = Tensor(view, dtype=dtype)
    assert (t.shape, t.strides) == (list(view.shape), Tensor(np.zeros(view.shape, np.float32)).strides)
    for errstate in ({"all": "ignore"}, {"all": "warn"}):
        with np.errstate(**errstate):
            assert_same_outcome(view, dtype)
